% build_facts  The plug-in list, sources and compiler options of build_facts.txt.
%
%   facts = build_facts ()
%
% facts has one field per name in build_facts.txt, each a cell row of the
% words of its value ("name += item" lines add their items in order), e.g.
% facts.plugins = {'remap/remap_vol_f32', ...}. build_mex and its tests read
% the file through this function, so that they and the other builds agree.
function facts = build_facts ()
  file = fullfile (fileparts (mfilename ('fullpath')), 'build_facts.txt');
  lines = regexp (fileread (file), '\r?\n', 'split');
  facts = struct ();
  for k = 1:numel (lines)
    parts = regexp (lines{k}, '^([a-z_]+)\s*(\+?)=\s*(.*?)\s*$', 'tokens', 'once');
    if (isempty (parts))
      continue;
    end
    words = strsplit (parts{3}, ' ');
    words = words(~cellfun (@isempty, words));
    if (strcmp (parts{2}, '+') && isfield (facts, parts{1}))
      facts.(parts{1}) = [facts.(parts{1}), words];
    else
      facts.(parts{1}) = words;
    end
  end
end

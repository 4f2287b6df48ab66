% [plugins, mfiles] = regkern_functions (root): the names the package
% installs and Contents lists: the plug-ins of build_facts.txt and the M-file
% functions in matlab/ (every .m there that is not a plug-in's help file, the
% overview regkern.m or Contents.m).
function [plugins, mfiles] = regkern_functions (root)
  addpath (root);
  facts = build_facts ();
  [~, plugins] = cellfun (@fileparts, facts.plugins, 'UniformOutput', false);
  [~, mfiles] = cellfun (@fileparts, {dir(fullfile (root, 'matlab', '*.m')).name}, ...
                         'UniformOutput', false);
  mfiles = setdiff (mfiles, [plugins, {'Contents', 'regkern'}]);
end

% The help files beside the binaries: every plug-in has help text with its
% call, its errors and an example; the call still runs the binary; every
% example runs; the documented errors are the ones the plug-ins raise.

%!shared names, mfiles
%! [names, mfiles] = regkern_functions (getenv ('REGKERN_SOURCE_DIR'));

%!function [call, conditions, example, warnings] = help_parts (name)
%!  % The call line, the condition names of the Errors and of the Warnings
%!  % section and the example code of a plug-in's help text.
%!  [text, format] = get_help_text (name);
%!  assert (format, 'plain text', name);
%!  lines = strsplit (text, "\n");
%!  call = '';
%!  conditions = {};
%!  example = {};
%!  warnings = {};
%!  section = '';
%!  for k = 1:numel (lines)
%!    line = lines{k};
%!    if (isempty (call) && ! isempty (strfind (line, ['= ' name ' ('])))
%!      call = strtrim (line);
%!    end
%!    if (regexp (line, '^\s*Errors:'))
%!      section = 'errors';
%!    elseif (regexp (line, '^\s*Warnings:'))
%!      section = 'warnings';
%!    elseif (regexp (line, '^\s*Example:\s*$'))
%!      section = 'example';
%!    elseif (regexp (line, '^\s*See also'))
%!      section = '';
%!    elseif (any (strcmp (section, {'errors', 'warnings'})))
%!      if (isempty (strtrim (line)))
%!        section = '';
%!      end
%!      token = regexp (line, '^\s{5}(\w+)\s{2,}', 'tokens', 'once');
%!      if (isempty (token))
%!      elseif (strcmp (section, 'errors'))
%!        conditions{end+1} = token{1};
%!      else
%!        warnings{end+1} = token{1};
%!      end
%!    elseif (strcmp (section, 'example') && ! isempty (strtrim (line)))
%!      example{end+1} = line;
%!    end
%!  end
%!  example = strjoin (example, "\n");
%!endfunction

%!function run_example (code)
%!  % Runs in its own workspace; the printed results are not needed here.
%!  evalc (code);
%!endfunction

%!function files = family_headers (root, name)
%!  % The headers of a plug-in's family: the refinement plug-ins share theirs
%!  % (dispinvert_refine*) with no other plug-in of the field inversion;
%!  % invert_field's compiled calls run the splat and the refinement, and
%!  % their own headers (dispinvert_invert*) are theirs alone.
%!  invert = strncmp (name, 'invert_field', 12);
%!  if (invert)
%!    family = 'dispinvert';
%!  else
%!    family = strtok (name, '_');
%!  end
%!  files = {dir(fullfile (root, family, '*.h')).name};
%!  % The region entries (*_region.h) serve the chunked front end; no
%!  % plug-in raises their conditions.
%!  files = files(cellfun (@isempty, regexp (files, '_region\.h$')));
%!  refinement = strncmp (files, 'dispinvert_refine', 17);
%!  if (invert)
%!    % all of the family's headers but the region entries
%!  elseif (strncmp (name, 'dispinvert_refine', 17))
%!    files = files(refinement);
%!  else
%!    files = files(! refinement & ! strncmp (files, 'dispinvert_invert', 17));
%!  end
%!  files = cellfun (@(f) fullfile (root, family, f), files, 'UniformOutput', false);
%!endfunction

%!function id = reporter (name)
%!  % The name in a plug-in's identifiers: its own, but invert_field's
%!  % compiled calls report as invert_field, the function their callers call.
%!  id = name;
%!  if (strncmp (name, 'invert_field_', 13))
%!    id = 'invert_field';
%!  end
%!endfunction

%!function conditions = raised_conditions (root, name)
%!  % Conditions a plug-in can raise: the ones its family's code raises and
%!  % the ones of the shared failure helpers and the MEX front end.
%!  files = family_headers (root, name);
%!  for folder = {'foundation', 'mex'}
%!    shared = [dir(fullfile (root, folder{1}, '*.h')); dir(fullfile (root, folder{1}, '*.cpp'))];
%!    files = [files, cellfun(@(f) fullfile (root, folder{1}, f), {shared.name}, ...
%!                            'UniformOutput', false)];
%!  end
%!  conditions = {};
%!  for k = 1:numel (files)
%!    found = regexp (fileread (files{k}), '(?:fail|set_error)\((?:plugin,\s*)?"(\w+)"', 'tokens');
%!    conditions = [conditions, cellfun(@(t) t{1}, found, 'UniformOutput', false)];
%!  end
%!  conditions = unique (conditions);
%!endfunction

%!test
%! % each plug-in: help text with the call, errors and an example, and the
%! % call resolves to the binary beside its help file
%! for k = 1:numel (names)
%!   [call, conditions, example] = help_parts (names{k});
%!   assert (! isempty (call), [names{k} ': no call line']);
%!   assert (! isempty (example), [names{k} ': no example']);
%!   assert (all (ismember ({'nrhs', 'nlhs', 'badClass', 'notBuilt'}, conditions)), names{k});
%!   assert (exist (names{k}), 3, [names{k} ' does not resolve to the binary']);
%!   help_file = which ([names{k} '.m']);
%!   assert (strcmp (fileparts (help_file), fileparts (which (names{k}))), names{k});
%! end

%!test
%! % every example runs as written, the M-file functions' included
%! for name = [names, mfiles]
%!   [~, ~, example] = help_parts (name{1});
%!   try
%!     run_example (example);
%!   catch err
%!     error ('example of %s fails: %s', name{1}, err.message);
%!   end
%! end

%!test
%! % the documented conditions exist in the code of the family, and the
%! % family's own conditions are all documented
%! root = getenv ('REGKERN_SOURCE_DIR');
%! for k = 1:numel (names)
%!   [~, documented] = help_parts (names{k});
%!   raised = raised_conditions (root, names{k});
%!   undocumented = setdiff (documented, [raised, {'notBuilt'}]);
%!   assert (isempty (undocumented), sprintf ('%s documents %s', names{k}, strjoin (undocumented, ', ')));
%!   own = regexp (strjoin (cellfun (@fileread, family_headers (root, names{k}), 'UniformOutput', false)), ...
%!         'fail\("(\w+)"', 'tokens');
%!   own = unique (cellfun (@(t) t{1}, own, 'UniformOutput', false));
%!   % the refinement's pass over a box of a larger grid, which only the
%!   % chunked front end calls, has conditions no plug-in raises
%!   own = setdiff (own, {'badRegion', 'haloTooThin'});
%!   missing = setdiff (own, documented);
%!   assert (isempty (missing), sprintf ('%s does not document %s', names{k}, strjoin (missing, ', ')));
%! end

%!test
%! % the documented warnings are the ones the family's code issues
%! root = getenv ('REGKERN_SOURCE_DIR');
%! for k = 1:numel (names)
%!   [~, ~, ~, documented] = help_parts (names{k});
%!   code = strjoin (cellfun (@fileread, family_headers (root, names{k}), 'UniformOutput', false));
%!   issued = regexp (code, 'warn(?:_outside|_sliver)?\(warnings,\s*"(\w+)"', 'tokens');
%!   issued = cellfun (@(t) t{1}, issued, 'UniformOutput', false);
%!   % the foundation's warnings a family issues through its helpers
%!   helpers = {'warn_extra_slices', 'extraSlices'; 'warn_partner_shape', 'partnerShape'};
%!   for h = 1:rows (helpers)
%!     if (! isempty (regexp (code, [helpers{h, 1} '\s*\('], 'once')))
%!       issued{end+1} = helpers{h, 2};
%!     end
%!   end
%!   assert (sort (documented), sort (unique (issued)), names{k});
%! end

%!test
%! % the count errors carry the identifiers and the messages the help quotes
%! for k = 1:numel (names)
%!   [call, ~, ~] = help_parts (names{k});
%!   inputs = numel (strfind (call(strfind (call, '('):end), ',')) + 1;
%!   text = get_help_text (names{k});
%!   quoted = regexp (text, '\n\s+(nrhs|nlhs)\s+[^"\n]*"([^"]+)"', 'tokens');
%!   assert (numel (quoted), 2, names{k});
%!   args = num2cell (zeros (1, inputs + 1));
%!   try
%!     feval (names{k}, args{:});
%!     error ('no error');
%!   catch err
%!     assert (err.identifier, [reporter(names{k}) ':nrhs']);
%!     assert (! isempty (strfind (err.message, quoted{1}{2})), err.message);
%!   end
%!   try
%!     out = feval (names{k}, args{1:inputs});
%!     error ('no error');
%!   catch err
%!     assert (err.identifier, [reporter(names{k}) ':nlhs']);
%!     assert (! isempty (strfind (err.message, quoted{2}{2})), err.message);
%!   end
%! end

%!test
%! % without its binary, a help file's call says how to build it
%! scratch = tempname ();
%! mkdir (scratch);
%! unwind_protect
%!   for k = 1:numel (names)
%!     copyfile (which ([names{k} '.m']), scratch);
%!   end
%!   addpath (scratch);
%!   for k = 1:numel (names)
%!     try
%!       [a, b] = feval (names{k}, 1);
%!       error ('no error');
%!     catch err
%!       assert (err.identifier, [reporter(names{k}) ':notBuilt']);
%!     end
%!   end
%! unwind_protect_cleanup
%!   rmpath (scratch);
%!   confirm_recursive_rmdir (false, 'local');
%!   rmdir (scratch, 's');
%! end_unwind_protect

%!test
%! % Contents lists every plug-in and M-file function, and nothing else
%! listed = regexp (get_help_text ('Contents'), '\n\s+(\w+)\s+- ', 'tokens');
%! assert (sort ([listed{:}]), sort ([names, mfiles]));

% The documentation: every relative link in README.md and docs/*.md points
% at a file that exists, and the help files of each precision pair are the
% expansion of their one template (scripts/gen_help.sh).

%!test
%! % relative links resolve (web links and in-page anchors are not checked)
%! root = getenv ('REGKERN_SOURCE_DIR');
%! pages = [{fullfile(root, 'README.md')}, ...
%!          cellfun(@(f) fullfile (root, 'docs', f), {dir(fullfile (root, 'docs', '*.md')).name}, ...
%!                  'UniformOutput', false)];
%! broken = {};
%! for k = 1:numel (pages)
%!   targets = regexp (fileread (pages{k}), '\]\(([^)\s]+)\)', 'tokens');
%!   for t = 1:numel (targets)
%!     target = regexprep (targets{t}{1}, '#.*$', '');
%!     if (isempty (target) || ! isempty (regexp (target, '^[a-z]+:', 'once')))
%!       continue;
%!     end
%!     if (! exist (fullfile (fileparts (pages{k}), target), 'file'))
%!       broken{end+1} = [strrep(pages{k}, [root filesep], '') ' -> ' targets{t}{1}];
%!     end
%!   end
%! end
%! assert (isempty (broken), ['broken links: ' strjoin(broken, ', ')]);

%!test
%! % the _f32/_f64 help files are generated from matlab/pairs/*.m.in
%! root = getenv ('REGKERN_SOURCE_DIR');
%! [status, output] = system (sprintf ('sh "%s/scripts/gen_help.sh" --check 2>&1', root));
%! if (status != 0)
%!   error ('%s', output);
%! end

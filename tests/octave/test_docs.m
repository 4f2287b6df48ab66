% The documentation: every relative link in README.md and docs/*.md points
% at a file that exists, README's examples run as pasted, and the help files of each precision pair are the
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

%!test
%! % README's Octave examples run as pasted, in order in one workspace (the
%! % inversion's refinement uses the splat's field), without a warning; the
%! % build_mex block compiles and is left to test_build_mex
%! root = getenv ('REGKERN_SOURCE_DIR');
%! blocks = regexp (fileread (fullfile (root, 'README.md')), '```matlab\n(.*?)```', 'tokens');
%! blocks = cellfun (@(b) b{1}, blocks, 'UniformOutput', false);
%! blocks = blocks(cellfun (@isempty, strfind (blocks, 'build_mex')));
%! assert (numel (blocks) >= 4);
%! lastwarn ('');
%! evalc (strjoin (blocks, "\n"));
%! assert (lastwarn (), '');

% Every case the stand-in host tests wrote gives the same bits in Octave.
%!test
%! dir = getenv ('REGKERN_SHARED_CASES');
%! files = glob (fullfile (dir, '*.case'));
%! assert (numel (files) > 0, 'no shared cases were written');
%! for k = 1:numel (files)
%!   check_shared_case (files{k});
%! end

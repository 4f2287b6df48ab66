function regkern ()
% regkern  Compute kernels for image registration: eleven compiled plug-ins (MEX files).
%
%   Compiled inner loops for image registration in Octave and MATLAB: local
%   intensity remapping between two modalities, inversion of displacement
%   fields, and joint intensity histograms. Results are reproducible bit
%   for bit: each plug-in follows one fixed order of operations, whatever
%   the number of worker threads.
%
%   Local intensity remapping (block-wise joint histograms, worker threads)
%     remap_vol_f64        - Remap volumes A -> D's and B -> C's intensities (double).
%     remap_vol_f32        - The same in single precision.
%     remap_plane_f64      - Remap 2-D images (double).
%
%   Displacement-field inversion (forward splatting with a kernel, then refinement)
%     dispinvert_vol_f64          - Forward field of a 3-D backward field (double).
%     dispinvert_vol_f32          - The same in single precision.
%     dispinvert_plane_f64        - Forward field of a 2-D backward field (double).
%     dispinvert_refine_vol_f64   - Refine a 3-D forward field to the exact inverse (double).
%     dispinvert_refine_vol_f32   - The same in single precision.
%     dispinvert_refine_plane_f64 - Refine a 2-D forward field to the exact inverse (double).
%     invert_field                - Inverse of a backward field in one call: splat, then refine.
%     invert_field_vol_f64        - invert_field's compiled call for a 3-D field (double).
%     invert_field_vol_f32        - The same in single precision.
%     invert_field_plane_f64      - invert_field's compiled call for a 2-D field (double).
%
%   Joint histogram (linear bin sharing)
%     jointbins_f64        - Joint and single-image histograms of two images (double).
%     jointbins_f32        - The same in single precision.
%     mutual_information   - Mutual information from their joint histogram (M-file).
%
%   Every plug-in takes and returns arrays of one class: double for the _f64
%   plug-ins and single for the _f32 ones, scalar inputs included. Arrays
%   are indexed x, y, z along their first, second and third dimension;
%   displacements are in voxels (pixels) along them. The remapping plug-ins
%   run maxNumCompThreads () worker threads; set it to 1 in each worker of
%   a parallel batch. A wrong call raises an error with the identifier
%   <plug-in>:<condition> before any output is made.
%
%   Type "help <plug-in>" for its call, inputs, outputs, errors and an
%   example. Typing regkern shows this text.
%
%   See also Contents.
  help ('regkern');
end

% regkern  Compute kernels for image registration (MEX plug-ins for Octave and MATLAB)
% Version 0.1.0
%
% Every plug-in takes and returns arrays of one class: double for the _f64
% plug-ins and single for the _f32 ones, scalar inputs included. Type
% "help <name>" for the call, the inputs, the errors and an example.
%
% Local intensity remapping (block-wise joint histograms, worker threads)
%   remap_vol_f64        - Remap volumes A -> D's and B -> C's intensities (double).
%   remap_vol_f32        - The same in single precision.
%   remap_plane_f64      - Remap 2-D images (double).
%
% Displacement-field inversion (forward splatting with a kernel, then refinement)
%   dispinvert_vol_f64          - Forward field of a 3-D backward field (double).
%   dispinvert_vol_f32          - The same in single precision.
%   dispinvert_plane_f64        - Forward field of a 2-D backward field (double).
%   dispinvert_refine_vol_f64   - Refine a 3-D forward field to the exact inverse (double).
%   dispinvert_refine_vol_f32   - The same in single precision.
%   dispinvert_refine_plane_f64 - Refine a 2-D forward field to the exact inverse (double).
%   invert_field                - Inverse of a backward field in one call: splat, then refine.
%   invert_field_vol_f64        - invert_field's compiled call for a 3-D field (double).
%   invert_field_vol_f32        - The same in single precision.
%   invert_field_plane_f64      - invert_field's compiled call for a 2-D field (double).
%
% Joint histogram (linear bin sharing)
%   jointbins_f64        - Joint and single-image histograms of two images (double).
%   jointbins_f32        - The same in single precision.
%   mutual_information   - Mutual information from their joint histogram (M-file).
%
% Type "help regkern" for an overview.

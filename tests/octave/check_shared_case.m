% check_shared_case (file): replays a case written by the stand-in host tests
% through the Octave MEX file and checks that every output has the same class,
% size and bits.
function check_shared_case (file)
  [plugin, inputs, expected] = read_case (file);
  outputs = cell (1, numel (expected));
  % Some cases pair images of different shapes on purpose (the layout
  % contract); what counts here are the bits.
  warning ('off', [plugin ':partnerShape'], 'local');
  [outputs{:}] = feval (plugin, inputs{:});
  for k = 1:numel (expected)
    assert (class (outputs{k}), class (expected{k}));
    assert (size (outputs{k}), size (expected{k}));
    assert (isequal (bits (outputs{k}), bits (expected{k})), ...
            sprintf ('%s: output %d differs from the stand-in host', file, k));
  end
end

function b = bits (x)
  if (isa (x, 'double'))
    b = typecast (x(:), 'uint64');
  else
    b = typecast (x(:), 'uint32');
  end
end

function [plugin, inputs, outputs] = read_case (file)
  f = fopen (file, 'rb');
  assert (f >= 0, ['cannot open ' file]);
  cleanup = onCleanup (@() fclose (f));
  n = fread (f, 1, 'int32');
  plugin = char (fread (f, n, 'uint8')');
  nin = fread (f, 1, 'int32');
  nout = fread (f, 1, 'int32');
  inputs = cell (1, nin);
  outputs = cell (1, nout);
  for k = 1:nin
    inputs{k} = read_array (f);
  end
  for k = 1:nout
    outputs{k} = read_array (f);
  end
end

function a = read_array (f)
  class_id = fread (f, 1, 'int32');
  ndims = fread (f, 1, 'int32');
  dims = fread (f, ndims, 'int32')';
  if (class_id == 6)
    a = fread (f, prod (dims), '*double');
  else
    a = fread (f, prod (dims), '*single');
  end
  a = reshape (a, [dims 1 1]);
end

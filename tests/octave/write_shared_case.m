% write_shared_case (file, plugin, inputs, outputs, condition, message):
% writes a call in the format of tests/cpp/shared_case_io.h, so that the
% Python suite replays calls made in Octave. A refused call has no outputs
% and, after them, the identifier's condition and the message the plug-in
% gave; so has a call that warned (with its outputs). Read back by
% tests/python/shared_cases.py; check_shared_case.m stops before the tail.
function write_shared_case (file, plugin, inputs, outputs, condition, message)
  f = fopen (file, 'wb');
  assert (f >= 0, ['cannot write ' file]);
  cleanup = onCleanup (@() fclose (f));
  fwrite (f, numel (plugin), 'int32');
  fwrite (f, plugin, 'uint8');
  fwrite (f, numel (inputs), 'int32');
  fwrite (f, numel (outputs), 'int32');
  for k = 1:numel (inputs)
    write_array (f, inputs{k});
  end
  for k = 1:numel (outputs)
    write_array (f, outputs{k});
  end
  if (nargin > 4)
    fwrite (f, numel (condition), 'int32');
    fwrite (f, condition, 'uint8');
    fwrite (f, numel (message), 'int32');
    fwrite (f, message, 'uint8');
  end
end

function write_array (f, a)
  if (isa (a, 'double'))
    fwrite (f, 6, 'int32');
  else
    fwrite (f, 7, 'int32');
  end
  fwrite (f, ndims (a), 'int32');
  fwrite (f, size (a), 'int32');
  fwrite (f, a(:), class (a));
end

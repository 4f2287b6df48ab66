"""The package installs offline into a fresh virtual environment with the
one command docs/python.md gives, and gives there the bits of the shared
cases."""
import os
import subprocess
import sys
import textwrap


def test_offline_install_into_a_fresh_venv(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable,
                    "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = venv / "bin" / "python"
    install = subprocess.run([str(python), "-m", "pip", "install", "--no-index",
                              "--no-build-isolation", os.environ["REGKERN_SOURCE_DIR"]],
                             capture_output=True, text=True, cwd=tmp_path)
    assert install.returncode == 0, install.stdout[-3000:] + install.stderr[-3000:]
    replay = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import regkern
        assert regkern.__file__.startswith({str(venv)!r}), regkern.__file__
        import regkern.chunked
        assert regkern.chunked.__file__.startswith({str(venv)!r}), regkern.chunked.__file__
        from shared_cases import call, read_cases, same_results
        for case in read_cases() + read_cases("octave"):
            same_results(case.outputs, call(case, threads=2))
        """)
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    run = subprocess.run([str(python), "-W", "ignore", "-c", replay], capture_output=True,
                         text=True, cwd=tmp_path, env=environment)
    assert run.returncode == 0, run.stderr[-3000:]

"""Builds regkern._core, the extension module of the Python package, from the
same sources and with the same floating-point options as the plug-ins.

The options are the ones every build of the plug-ins takes: results are
bit-exact only when every build compiles the kernels alike (no contraction
into fused multiply-adds, no fast-math, GCC's straight-line vectorizer off).
"""
import re
from pathlib import Path

from pybind11.setup_helpers import Pybind11Extension, build_ext
from setuptools import setup

ROOT = Path(__file__).resolve().parent


def build_facts():
    """The "name = value" and "name += item" lines of build_facts.txt, the
    one list of options every build of the plug-ins reads."""
    facts = {}
    for line in (ROOT / "build_facts.txt").read_text().splitlines():
        match = re.match(r"([a-z_]+) *(\+?)= *(.*)$", line)
        if match:
            name, append, value = match.groups()
            facts[name] = (facts.get(name, []) if append else []) + value.split()
    return facts


def project_compiler_options(msvc):
    """The options every plug-in is compiled with, for this compiler family."""
    family = "msvc" if msvc else "gnu"
    facts = build_facts()
    options = facts[family + "_cxxflags"] + facts[family + "_optimize"]
    needed = "/fp:precise" if msvc else "-ffp-contract=off"
    if needed not in options:
        raise SystemExit(f"setup.py: {needed} is not among the project's options {options}")
    return options


def project_link_options(msvc):
    return [] if msvc else build_facts()["gnu_ldflags"]


class BuildWithProjectOptions(build_ext):
    def build_extensions(self):
        msvc = self.compiler.compiler_type == "msvc"
        for extension in self.extensions:
            extension.extra_compile_args += project_compiler_options(msvc)
            extension.extra_link_args += project_link_options(msvc)
        super().build_extensions()


core = Pybind11Extension(
    "regkern._core",
    # The host-free foundation; the MEX front end (mex/) is the plug-ins' own.
    sources=["python/regkern_module.cpp"] + build_facts()["foundation_sources"],
    include_dirs=["foundation", "remap", "dispinvert", "jointbins"],
    # The kernels live in headers, the options in build_facts.txt: a build
    # left in build/setuptools is compiled again when any of them changed.
    depends=["setup.py", "build_facts.txt"]
    + sorted(str(p.relative_to(ROOT)) for folder in ("foundation", "remap", "dispinvert",
                                                     "jointbins")
             for p in (ROOT / folder).glob("*.h")),
    cxx_std=17,
)

def project_version():
    """The toolbox's version, as its Octave package gives it."""
    text = (ROOT / "package" / "DESCRIPTION").read_text()
    return re.search(r"^Version:\s*(\S+)", text, re.M).group(1)


setup(
    version=project_version(),
    # setuptools' intermediate files apart from CMake's in build/
    options={"build": {"build_base": "build/setuptools"}},
    # regkern.chunked, the chunked front end, has its own folder
    package_dir={"": "python", "regkern.chunked": "chunked"},
    packages=["regkern", "regkern.chunked"],
    package_data={"regkern": ["py.typed"]},
    ext_modules=[core],
    cmdclass={"build_ext": BuildWithProjectOptions},
)

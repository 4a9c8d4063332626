"""pip install . : builds the native module with the project's CMake build
and installs the sarnic_exporter package."""
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.path.join(self.build_temp, "cmake")
        subprocess.check_call([
            "cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
            "-DSARNIC_TESTS=OFF", "-DSARNIC_TOOLS=ON", "-DSARNIC_EXAMPLES=OFF",
            "-DPython3_EXECUTABLE=" + sys.executable])
        tools = ("snx-export", "snx-inspect", "snx-run", "snx-import")
        subprocess.check_call(["cmake", "--build", build, "--target", "_core", *tools,
                               "-j", str(os.cpu_count() or 2)])
        built = os.path.join(build, "python", "sarnic_exporter")
        target = os.path.dirname(self.get_ext_fullpath(ext.name))
        os.makedirs(target, exist_ok=True)
        for name in os.listdir(built):
            if name.startswith("_core") and name.endswith(".so"):
                shutil.copy(os.path.join(built, name), self.get_ext_fullpath(ext.name))
        # The stub of snxf is generated from the schema at build time.
        shutil.copy(os.path.join(built, "snxf.pyi"), os.path.join(target, "snxf.pyi"))
        # The tools go into the package; console scripts run them.
        bin_dir = os.path.join(target, "bin")
        os.makedirs(bin_dir, exist_ok=True)
        for tool in tools:
            shutil.copy(os.path.join(build, "tools", tool), os.path.join(bin_dir, tool))


setup(
    name="sarnic_exporter",
    version="0.1.0",
    description="Exports neural-network graphs into SNX model files",
    packages=["sarnic_exporter"],
    package_data={"sarnic_exporter": ["py.typed", "*.pyi"]},
    package_dir={"": "python"},
    ext_modules=[Extension("sarnic_exporter._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=["numpy", "networkx"],
    entry_points={"console_scripts": [
        "snx-export = sarnic_exporter._tools:export_main",
        "snx-inspect = sarnic_exporter._tools:inspect_main",
        "snx-run = sarnic_exporter._tools:run_main",
        "snx-import = sarnic_exporter._tools:import_main",
    ]},
)

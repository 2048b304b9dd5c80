"""The package's version. Written by CMake from the project version (CMakeLists.txt): do not edit."""
__version__ = "1.0.0"

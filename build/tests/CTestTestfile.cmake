# CMake generated Testfile for 
# Source directory: /work/wt/platform-a/tests
# Build directory: /work/wt/platform-a/build/tests
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/wt/platform-a/build/tests/test_netaudio_platform[1]_include.cmake")

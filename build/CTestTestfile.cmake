# CMake generated Testfile for 
# Source directory: /work/wt/platform-a
# Build directory: /work/wt/platform-a/build
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
subdirs("tests")

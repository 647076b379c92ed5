tests/CMakeFiles/qz_test_support.dir/support/empty.cpp.o: \
 /work/wt/platform-a/tests/support/empty.cpp /usr/include/stdc-predef.h

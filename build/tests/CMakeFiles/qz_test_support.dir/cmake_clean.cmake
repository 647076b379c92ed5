file(REMOVE_RECURSE
  "CMakeFiles/qz_test_support.dir/support/empty.cpp.o"
  "CMakeFiles/qz_test_support.dir/support/empty.cpp.o.d"
  "CMakeFiles/qz_test_support.dir/support/fake_clock.cpp.o"
  "CMakeFiles/qz_test_support.dir/support/fake_clock.cpp.o.d"
  "libqz_test_support.a"
  "libqz_test_support.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/qz_test_support.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()

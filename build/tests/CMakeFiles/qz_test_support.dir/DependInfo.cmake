
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/wt/platform-a/tests/support/empty.cpp" "tests/CMakeFiles/qz_test_support.dir/support/empty.cpp.o" "gcc" "tests/CMakeFiles/qz_test_support.dir/support/empty.cpp.o.d"
  "/work/wt/platform-a/tests/support/fake_clock.cpp" "tests/CMakeFiles/qz_test_support.dir/support/fake_clock.cpp.o" "gcc" "tests/CMakeFiles/qz_test_support.dir/support/fake_clock.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/wt/platform-a/build/CMakeFiles/netaudio.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")

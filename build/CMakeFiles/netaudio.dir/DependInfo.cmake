
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/wt/platform-a/netaudio/platform/qnb_error.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_error.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_error.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_printf.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_printf.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_printf.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_time.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_time.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_time.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")

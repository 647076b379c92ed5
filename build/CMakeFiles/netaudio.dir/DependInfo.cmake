
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/wt/platform-a/netaudio/platform/dup_ring.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/dup_ring.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/dup_ring.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/encoding_set.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/encoding_set.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/encoding_set.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_byte_array.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_byte_array.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_byte_array.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_env.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_env.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_env.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_error.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_error.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_error.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_id.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_id.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_id.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_list.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_list.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_list.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_log.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_log.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_log.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_name.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_name.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_name.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_printf.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_printf.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_printf.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_socket.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_socket.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_socket.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_socket_set.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_socket_set.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_socket_set.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_string.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_string.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_string.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_text.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_text.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_text.cpp.o.d"
  "/work/wt/platform-a/netaudio/platform/qnb_time.cpp" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_time.cpp.o" "gcc" "CMakeFiles/netaudio.dir/netaudio/platform/qnb_time.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")

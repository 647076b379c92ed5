file(REMOVE_RECURSE
  "CMakeFiles/netaudio.dir/netaudio/platform/dup_ring.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/dup_ring.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/encoding_set.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/encoding_set.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_byte_array.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_byte_array.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_env.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_env.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_error.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_error.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_id.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_id.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_list.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_list.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_log.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_log.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_name.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_name.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_printf.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_printf.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_socket.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_socket.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_socket_set.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_socket_set.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_string.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_string.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_text.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_text.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_time.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_time.cpp.o.d"
  "libnetaudio.a"
  "libnetaudio.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/netaudio.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()

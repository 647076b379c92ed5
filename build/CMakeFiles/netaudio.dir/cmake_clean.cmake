file(REMOVE_RECURSE
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_error.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_error.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_printf.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_printf.cpp.o.d"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_time.cpp.o"
  "CMakeFiles/netaudio.dir/netaudio/platform/qnb_time.cpp.o.d"
  "libnetaudio.a"
  "libnetaudio.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/netaudio.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()

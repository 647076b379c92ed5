file(REMOVE_RECURSE
  "libnetaudio.a"
)

file(REMOVE_RECURSE
  "libqz_test_support.a"
)

# Sourced by the scripts that name a path in the options of a sanitizer runtime (ASAN_OPTIONS,
# LSAN_OPTIONS, TSAN_OPTIONS). The runtimes split their options at spaces, commas and colons except
# inside single or double quotes, and know no escape, so that a checkout may lie anywhere:
#
#   sanitizer_quoted PATH   prints PATH in the quotes it does not hold
sanitizer_quoted() {
  case $1 in
    *\'*) printf '"%s"' "$1" ;;
    *) printf "'%s'" "$1" ;;
  esac
}

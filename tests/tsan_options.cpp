// Linked into the Qt test programs of a ThreadSanitizer build: they read tests/tsan.supp by
// themselves, so that ctest, scripts/test and a run by hand see the same reports. Options given in
// TSAN_OPTIONS are read after these and win (scripts/test names the same file). The path comes
// quoted (tests/gui/CMakeLists.txt), so that the runtime reads it whole wherever the checkout is.
extern "C" const char *__tsan_default_options()
{
    return "suppressions=" QZ_TSAN_SUPPRESSIONS;
}

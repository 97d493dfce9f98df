// Linked into every test, and the program, of a ThreadSanitizer build. Qt and the media libraries are not built
// with ThreadSanitizer: their own locking is invisible to it, so only accesses made from our
// instrumented code are checked.
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }

// Linked into the test programs that reach the Secret Service. GLib, GIO and libsecret are
// not built with ThreadSanitizer, so it cannot see their locks (futex-based GMutex, atomic
// reference counts) and reports the memory they pass between the caller and their own
// "gdbus" worker thread as raced. Only reports with a frame inside those libraries are
// silenced; races in our own code still fail the tests.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libsecret-1.so\n";
}
#endif

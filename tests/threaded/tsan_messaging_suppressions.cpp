// The messaging library is not built with ThreadSanitizer: its lock-free
// queues between its I/O thread and the sockets' threads are invisible to
// the sanitizer, which then takes the library's own buffer copies (recv,
// memcpy called from inside it) for races. Accesses made from inside the
// library are left out; everything in our code stays checked.
// The HTTP library behind the tests' local update servers is not built with
// it either: two servers' listening threads were reported racing on a block
// the library allocated and compared inside itself.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libzmq.so\n"
         "called_from_lib:libczmq.so\n"
         "called_from_lib:libcpp-httplib.so\n";
}

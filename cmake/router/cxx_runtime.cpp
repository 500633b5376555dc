// The C++ runtime the router agent needs, in place of libstdc++.a, which Debian's cross
// compilers build for glibc (and, on MIPS, for hard float): allocation, the library's error
// paths, and std::string's members, which the headers leave to the library.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

namespace {
[[noreturn]] void Stop(const char* what) {
    fprintf(stderr, "vornaagent: %s\n", what);
    abort();
}
}  // namespace

void* operator new(std::size_t size) {
    void* p = malloc(size != 0 ? size : 1);
    if (p == nullptr) Stop("out of memory");
    return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, std::size_t) noexcept { free(p); }
void operator delete[](void* p, std::size_t) noexcept { free(p); }

// Without exceptions, what the library would throw ends the process.
namespace std {
void __throw_length_error(const char* what) { Stop(what); }
void __throw_logic_error(const char* what) { Stop(what); }
void __throw_out_of_range(const char* what) { Stop(what); }
void __throw_out_of_range_fmt(const char* what, ...) { Stop(what); }
void __throw_invalid_argument(const char* what) { Stop(what); }
void __throw_bad_alloc() { Stop("out of memory"); }
void __throw_bad_array_new_length() { Stop("out of memory"); }
}  // namespace std

template class std::__cxx11::basic_string<char>;

// Static objects' destructors are registered against this handle.
extern "C" {
void* __dso_handle = &__dso_handle;
}

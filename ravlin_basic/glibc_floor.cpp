// One build of the module for every Linux from glibc 2.17 (manylinux2014),
// made with the build machine's newer glibc. Its references to glibc carry
// the versions of that machine; the few newer than 2.17 are dealt with here:
//
// - exp and log: glibc 2.29 gave them new versions that only drop an old
//   error-handling wrapper around the same calculation. The linker sends
//   every call to them here (--wrap=exp,--wrap=log), and from here to their
//   first versions, which every glibc has: the same values to the last bit.
// - __libc_single_threaded, getentropy, arc4random: the static C++ runtime
//   refers to them (the first tells whether reference counts may skip their
//   atomic operations, the others serve std::random_device, which this
//   module never uses). Defined here, they bind inside the module; the
//   version script keeps them out of its exported symbols.
//
// Built only where CMake asks for it (RAVLIN_GLIBC_FLOOR: x86-64 Linux with
// glibc, a module linked with the static C++ runtime).
#if defined(RAVLIN_GLIBC_FLOOR)

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" {

double ravlin_exp_2_2_5(double x);
double ravlin_log_2_2_5(double x);
__asm__(".symver ravlin_exp_2_2_5, exp@GLIBC_2.2.5");
__asm__(".symver ravlin_log_2_2_5, log@GLIBC_2.2.5");

double __wrap_exp(double x) { return ravlin_exp_2_2_5(x); }
double __wrap_log(double x) { return ravlin_log_2_2_5(x); }

// Never single-threaded: reference counts always use atomic operations, as
// they must once the module's calls run on several threads.
char __libc_single_threaded = 0;

// Fills `buffer` from the kernel's random source, as glibc's does: at most
// 256 bytes, -1 with errno set on failure.
int getentropy(void* buffer, std::size_t length) {
  if (length > 256) {
    errno = EIO;
    return -1;
  }
  const int source = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (source < 0) return -1;
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = read(source, out + done, length - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      close(source);
      errno = EIO;
      return -1;
    }
    done += static_cast<std::size_t>(got);
  }
  close(source);
  return 0;
}

// glibc's never fails: it ends the process when the random source does.
std::uint32_t arc4random() noexcept {
  std::uint32_t value = 0;
  if (getentropy(&value, sizeof value) != 0) std::abort();
  return value;
}

}  // extern "C"

#endif  // RAVLIN_GLIBC_FLOOR

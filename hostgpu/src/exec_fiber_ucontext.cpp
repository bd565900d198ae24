// What Boost.Context's ucontext fibers need beyond their headers, for the
// build that switches fibers with ucontext so AddressSanitizer can follow
// them (see CMakeLists.txt).
#if defined(BOOST_USE_UCONTEXT)
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include <boost/context/fiber.hpp>

namespace boost::context::detail {

namespace {
// The host thread's own context, the one its first fiber switch leaves.
thread_local fiber_activation_record host_thread_context;
thread_local fiber_activation_record* running = &host_thread_context;
}  // namespace

// The per-thread record of the running context; the installed library is
// built for fcontext and lacks it.
fiber_activation_record*& fiber_activation_record::current() noexcept { return running; }

}  // namespace boost::context::detail

namespace hostgpu::detail {
void fiber_thread_state(std::vector<std::pair<const void*, size_t>>* objects) {
  using boost::context::detail::running;
  using boost::context::detail::host_thread_context;
  objects->emplace_back(&host_thread_context, sizeof(host_thread_context));
  objects->emplace_back(&running, sizeof(running));
}
}  // namespace hostgpu::detail

// The fibers' swapcontext (renamed by a compile definition) is libc's own.
// The sanitizer's interposed one warns on stderr, which the binary's tests
// read, and wipes the shadow of the stack it enters, so the frames of a
// suspended fiber would lose their red zones; Boost's switch annotations
// already tell the sanitizer which stack runs.
extern "C" int hostgpu_swapcontext(ucontext_t* from, const ucontext_t* to) noexcept {
  using Swap = int (*)(ucontext_t*, const ucontext_t*);
  static const Swap libc_swap = [] {
    void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    void* symbol = libc != nullptr ? dlsym(libc, "swapcontext") : nullptr;
    if (symbol == nullptr) {
      std::fprintf(stderr, "hostgpu: libc's swapcontext not found\n");
      std::abort();
    }
    return reinterpret_cast<Swap>(symbol);
  }();
  return libc_swap(from, to);
}
#else
#include <cstddef>
#include <utility>
#include <vector>

namespace hostgpu::detail {
// Fibers switched with fcontext keep no thread-local state in the program.
void fiber_thread_state(std::vector<std::pair<const void*, size_t>>*) {}
}  // namespace hostgpu::detail
#endif

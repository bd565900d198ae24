// The per-thread record of the running context that Boost.Context's ucontext
// fibers keep. The installed library is built for fcontext and lacks it, so
// the build that switches fibers with ucontext (see CMakeLists.txt) defines
// it here.
#if defined(BOOST_USE_UCONTEXT)
#include <boost/context/fiber.hpp>

namespace boost::context::detail {

fiber_activation_record*& fiber_activation_record::current() noexcept {
  // The host thread's own context, the one its first fiber switch leaves.
  thread_local fiber_activation_record host_thread_context;
  thread_local fiber_activation_record* running = &host_thread_context;
  return running;
}

}  // namespace boost::context::detail
#endif

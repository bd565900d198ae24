#pragma once
// One thread's queue of asynchronous copies: the uncommitted copies and the
// committed groups, oldest first. Each copy holds the source bytes read when
// it was issued.
#include <deque>
#include <string>
#include <vector>

namespace hostgpu::detail {

class AsyncCopyQueue {
 public:
  // Returns an empty string, or why the copy is refused.
  std::string enqueue(void* destination, const void* source, unsigned total_bytes, unsigned source_bytes);
  void commit();
  void wait(unsigned pending_groups);
  void complete_all();

 private:
  struct Copy {
    unsigned char* destination;
    unsigned bytes;
    unsigned char data[16];
  };
  static void land(const std::vector<Copy>& group);

  std::vector<Copy> uncommitted_;
  std::deque<std::vector<Copy>> committed_;
};

}  // namespace hostgpu::detail

#pragma once
// Thread synchronisation as the ordering rules of the asynchronous units
// (the tensor cores' fences) see it, for the instruction layer's host twins.
// Block barriers and the cluster barrier count themselves; the mbarrier
// twins report their arrivals and their completed waits here.
//   thread_sync_waits()          barrier waits the running thread has passed
//   thread_sync_wait_passed()    an mbarrier wait that saw its phase complete
//   thread_sync_signal(how)      an mbarrier arrival by the running thread
//   hold_unfenced_work(what)     the running thread holds asynchronous work
//                                that must be fenced before it signals any
//                                barrier (null: none); a signal meanwhile
//                                ends the launch with a fault naming both
namespace hostgpu::detail {

unsigned long long thread_sync_waits();
void thread_sync_wait_passed();
void thread_sync_signal(const char* how);
void hold_unfenced_work(const char* what);

}  // namespace hostgpu::detail

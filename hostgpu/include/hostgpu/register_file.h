#pragma once
// The register file of a running block as setmaxnreg moves it, for the
// instruction layer's host twin. Every warp starts with the registers per
// thread the kernel was compiled with (when the launch does not say, its
// share of the 65536: a multiple of 8, at most 248); what warps give back
// goes to the block's pool, which starts empty, and an increase waits until
// the pool holds what it takes. The four warps of a warp group execute the
// same setmaxnregs in the same order: each waits for the others' (a warp
// group whose warp returned without it, or issued another, faults).
namespace hostgpu::registers {

// setmaxnreg by the running warp (called by one lane of it, the count
// already checked): returns the warp's registers per thread before it.
unsigned set_max_registers(bool increase, unsigned count);

}  // namespace hostgpu::registers

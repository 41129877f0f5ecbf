#pragma once

#include <cstdint>

// Linux capabilities stand in for token privileges: "enabling a privilege" raises a capability
// into the effective set, which succeeds only when the capability is in the permitted set.
namespace tessel {

// Raises `capability` (CAP_* number) into the effective set of the calling thread.
// False, with errno set, when the capability is not permitted or the kernel refuses.
bool RaiseCapability(int capability);

// The permitted set as a bit mask (bit n = capability n); 0 when it cannot be read.
uint64_t PermittedCapabilities();

// The effective set, as PermittedCapabilities reads the permitted one.
uint64_t EffectiveCapabilities();

// Takes `capability` out of the effective set only; RaiseCapability can bring it back.
bool LowerCapability(int capability);

// Removes `capability` from the effective, permitted and inheritable sets of the calling thread.
// There is no way back; false, with errno set, when the kernel refuses.
bool DropCapability(int capability);

}  // namespace tessel

#pragma once

#include <cstdint>
#include <string>

// Facts about the running process and its machine, as the kernel and the C library tell them.
namespace tessel {

uint32_t CurrentProcessId();

// errno, read and written through one place so that code ported from "last error" style reads
// the same on every path.
int LastError();
void SetLastError(int code);

// The program's own file, from /proc/self/exe; empty when it cannot be read.
std::string ExecutablePath();
// The folder of ExecutablePath() with a trailing '/'; empty when the path is unknown.
std::string ExecutableFolder();
// The folder, with a trailing '/', of the loaded file (the program or a shared library) that holds
// `address`; empty when the loader cannot tell. A library finds its companions from here.
std::string FolderOfLoadedFile(const void* address);

// TMPDIR when set and not empty, else "/tmp/"; always with a trailing '/'.
std::string TempFolder();

// The name of the effective user (getpwuid_r); empty when it cannot be found.
std::string UserName();

uint32_t PageSize();
// The cap on this process's address space in bytes (RLIMIT_AS); 0 when there is none.
uint64_t AddressSpaceLimit();
// Total physical memory in bytes (sysinfo); 0 when unknown.
uint64_t TotalPhysicalMemory();

}  // namespace tessel

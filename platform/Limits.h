#pragma once

namespace qvplat {

// The process's open-descriptor limits; -1 stands for "unlimited".
struct DescriptorLimits {
    long long soft = -1;
    long long hard = -1;
};

DescriptorLimits descriptorLimits();
// Raises the soft descriptor limit to the hard one (a server holds one descriptor per connection,
// and the common soft default of 1,024 is far below what the system allows). Returns the limits as
// they were before; descriptorLimits() tells what they are now.
DescriptorLimits raiseDescriptorLimit();
// True for an errno value that means no descriptor was left (the process's or the system's).
bool isOutOfDescriptors(int error);

// Under an address-space limit (ulimit -v), makes every thread allocate from one shared arena:
// each further arena of the C library reserves 64 MiB of address space, however little it holds,
// and a few of them leave no room to serve. True when the process runs under such a limit.
bool shareAllocatorUnderAddressLimit();

}  // namespace qvplat

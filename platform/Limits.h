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

}  // namespace qvplat

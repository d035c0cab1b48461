#pragma once

#include <cstddef>
#include <cstdint>

// The entry point every fuzz target defines: runs one input of `size` bytes at `data`.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Puts a zylos executable into a fresh address space as the zylos kernel does.
#pragma once

#include "runner/engines/engine.h"
#include "runner/process/elf_image.h"

#include <span>
#include <string>
#include <vector>

namespace zylos {

// Maps each segment with its own permissions and copies its file bytes; the
// rest of the segment (bss) is zero.
void loadImage(Engine &m, const ElfImage &image, std::span<const uint8_t> file);

// The image and the stack at the top of the user range (the page below it
// stays unmapped) in m's fresh address space: where every process and every
// call into an image starts.
void loadAddressSpace(Engine &m, const ElfImage &image, std::span<const uint8_t> file);

// A process ready to run from image.entry: its address space, and the
// initial stack with argc at ESP, the argv pointers inline after it, a null
// pointer, and the strings above. Throws std::length_error when the
// arguments do not fit.
void loadProcess(Engine &m, const ElfImage &image, std::span<const uint8_t> file, const std::vector<std::string> &argv);

} // namespace zylos

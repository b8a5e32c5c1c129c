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

// Maps the stack at the top of the user range; the page below stays unmapped.
void mapStack(Engine &m);

// Arguments may take at most a quarter of the stack.
inline constexpr uint64_t kMaxArgumentBytes = kStackSize / 4;
bool argumentsFit(const std::vector<std::string> &argv);

// Lays out the initial stack: argc at ESP, the argv pointers inline after it,
// a null pointer, and the strings above. Returns ESP. Throws
// std::length_error when the arguments do not fit.
uint32_t pushArguments(Engine &m, const std::vector<std::string> &argv);

} // namespace zylos

// What code that hands commands around needs without looking into the
// catalogue: the command type and its variant, declared only, and the
// operations that dispatch on a command's variant (command.cpp). Files that
// include this header rather than command.hpp do not recompile when a
// catalogue row changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sonvex::core {

enum class Variant : std::uint8_t;
struct Command;

// The most bytes the wire text of the command can take.
std::size_t max_length(const Command& command);
// Writes the wire text (at most max_length bytes) at `out`; returns its end.
char* render_to(const Command& command, char* out);
// Appends the wire text of the command to `out`. Never fails.
void render(const Command& command, std::string& out);

// Text storage: the number of bytes of all texts of the command, and copying
// them into `storage` (that many bytes), after which the command refers to
// the copies.
std::size_t text_bytes(const Command& command);
void copy_texts(Command& command, char* storage);

}  // namespace sonvex::core

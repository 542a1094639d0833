#include "core/command.hpp"

namespace sonvex::core {

#define COMMAND(Name, ...) \
    template char* render_of<static_cast<std::size_t>(Variant::Name)>(const Command&, char*);
#include "core/catalogue.def"

namespace {

// Each command's own code, by variant number.
struct Operations {
    std::size_t (*max_length)(const Command&);
    char* (*render)(const Command&, char*);
    std::size_t (*text_bytes)(const Command&);
    void (*copy_texts)(Command&, char*);
};

template <std::size_t... I>
constexpr std::array<Operations, sizeof...(I)> operations(std::index_sequence<I...>) {
    return {Operations{max_length_of<I>, render_of<I>, text_bytes_of<I>, copy_texts_of<I>}...};
}

constexpr auto kOperations = operations(std::make_index_sequence<kCommandCount>{});

const Operations& operations_of(const Command& command) {
    return kOperations[static_cast<std::size_t>(command.variant)];
}

}  // namespace

std::size_t max_length(const Command& command) { return operations_of(command).max_length(command); }

char* render_to(const Command& command, char* out) {
    return operations_of(command).render(command, out);
}

void render(const Command& command, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + max_length(command));
    char* const end = render_to(command, out.data() + start);
    out.resize(static_cast<std::size_t>(end - out.data()));
}

std::size_t text_bytes(const Command& command) { return operations_of(command).text_bytes(command); }

void copy_texts(Command& command, char* storage) { operations_of(command).copy_texts(command, storage); }

}  // namespace sonvex::core

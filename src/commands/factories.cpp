// The static factories of Command, one per catalogue row, and the
// conversion of Python arguments into command fields that the client's
// command methods share.

#include "commands/commands.hpp"
#include "values.hpp"

namespace sonvex {

bool convert_field(const core::FieldSpec& field, PyObject* o, core::Command& command,
                   std::size_t index) {
    core::FieldValue& out = command.fields[index];
    using core::Kind;
    if (o == Py_None && (field.use == core::Use::Optional || field.has_default)) {
        out.present = field.has_default;
        out.number = field.default_value;
        return true;
    }
    out.present = true;
    switch (field.kind) {
    case Kind::U8: {
        std::uint8_t v;
        if (!to_u8(o, v)) return false;
        out.number = v;
        return true;
    }
    case Kind::U16: {
        std::uint16_t v;
        if (!to_u16(o, v)) return false;
        out.number = v;
        return true;
    }
    case Kind::U32: {
        std::uint32_t v;
        if (!to_u32(o, v)) return false;
        out.number = v;
        return true;
    }
    case Kind::I16: {
        std::int16_t v;
        if (!to_i16(o, v)) return false;
        out.number = v;
        return true;
    }
    case Kind::I64: return to_i64(o, out.number);
    case Kind::Bool: {
        bool v;
        if (!to_bool(o, v)) return false;
        out.number = v;
        return true;
    }
    case Kind::Text: {
        std::string_view v;
        if (!to_line_text(o, v, field.name)) return false;
        command.set_text(index, v);
        return true;
    }
    case Kind::Channels:
    case Kind::ECM: return to_enum(field.kind, o, out.number);
    case Kind::AudioFormatType:
    case Kind::PayloadType:
    case Kind::ToneType:
    case Kind::ConstantWithDescription: return to_constant(field.kind, o, out.constant);
    }
    fail_internal("field of unknown kind");
}

bool convert_fields(const core::CommandSpec& spec, PyObject* const* bound, core::Command& out) {
    for (std::size_t i = 0; i < spec.fields.size(); ++i)
        if (!convert_field(spec.fields[i], bound[i], out, i))
            return argument_failed(spec.fields[i].name);
    return true;
}

namespace {

template <std::size_t I>
inline constexpr Signature kFactorySignature{"Command.", core::kCatalogue[I].factory,
                                             kFieldNames<I>};

template <std::size_t I>
PyObject* factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        PyObject* bound[core::kMaxFields + 1];
        if (!bind_arguments(kFactorySignature<I>, args, nargs, kwnames, bound)) return nullptr;
        core::Command* command = nullptr;
        Ref object = Ref::steal(new_command(static_cast<core::Variant>(I), command));
        if (!object || !convert_fields(core::kCatalogue[I], bound, *command)) return nullptr;
        return object.release();
    });
}

template <std::size_t I>
PyMethodDef factory_def() {
    constexpr const core::CommandSpec& spec = core::kCatalogue[I];
    return {spec.factory.data(), SONVEX_FASTCALL(factory<I>),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
            signature_doc(spec.factory, kFieldNames<I>, false)};
}

template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> factory_defs(std::index_sequence<I...>) {
    return {factory_def<I>()..., PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

}  // namespace

std::span<PyMethodDef> factory_methods() {
    static auto defs = factory_defs(std::make_index_sequence<core::kCommandCount>{});
    return defs;
}

}  // namespace sonvex

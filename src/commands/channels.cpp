// Channels and ECM: classes whose members are class attributes created once;
// a member has a fixed repr and converts to int. No constructor, no
// subclassing, identity equality and hashing.

#include <array>

#include "commands/value_classes.hpp"
#include "frame/classes.hpp"

namespace sonvex {

namespace {

struct EnumObject {
    PyObject_HEAD
    const core::EnumMember* member;
};

PyObject* enum_new(PyTypeObject* type, PyObject*, PyObject*) { return raise_no_constructor(type); }

// The member held by `self`, which must be an object of one of the
// enumeration classes (not every interpreter checks that before calling a
// slot); nullptr with the error set otherwise.
const core::EnumMember* member_of(PyObject* self, const char* slot) {
    PyTypeObject* channels = enum_type(core::Kind::Channels);
    PyTypeObject* ecm = enum_type(core::Kind::ECM);
    if (!channels || !ecm) return nullptr;
    PyTypeObject* const type = PyObject_TypeCheck(self, ecm) ? ecm : channels;
    if (!check_self(self, type, slot)) return nullptr;
    const core::EnumMember* member = reinterpret_cast<EnumObject*>(self)->member;
    if (!member) wrong_self(self, type, slot);  // made by PyPy's object.__new__
    return member;
}

PyObject* enum_repr(PyObject* self) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        const core::EnumMember* member = member_of(self, "__repr__");
        if (!member) return nullptr;
        return PyUnicode_FromStringAndSize(member->repr.data(),
                                           static_cast<Py_ssize_t>(member->repr.size()));
    });
}

PyObject* enum_int(PyObject* self) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        const core::EnumMember* member = member_of(self, "__int__");
        return member ? PyLong_FromLongLong(member->number) : nullptr;
    });
}

PyMethodDef kEnumMethods[] = {kRefuseSubclassMethod, {nullptr, nullptr, 0, nullptr}};

PyObject* create_enum(std::string_view name, std::span<const core::EnumMember> members) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(enum_new)},
        {Py_tp_repr, reinterpret_cast<void*>(enum_repr)},
        {Py_nb_int, reinterpret_cast<void*>(enum_int)},
        {Py_tp_setattro, reinterpret_cast<void*>(refuse_setattr)},
        {Py_tp_methods, kEnumMethods},
        layout_init_slot<sizeof(EnumObject)>(),
        {0, nullptr},
    };
    Ref type = Ref::steal(create_type("sonvex_rs", name, sizeof(EnumObject), 0, slots));
    if (!type) return nullptr;
    for (const core::EnumMember& member : members) {
        Ref object = Ref::steal(
            PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type.get()), 0));
        if (!object) return nullptr;
        reinterpret_cast<EnumObject*>(object.get())->member = &member;
        std::string attribute(member.name);
        if (PyObject_SetAttrString(type.get(), attribute.c_str(), object.get()) < 0)
            return nullptr;
    }
    return type.release();
}

const core::EnumMember* find_member(std::span<const core::EnumMember> members,
                                    std::int64_t number) {
    for (const core::EnumMember& m : members)
        if (m.number == number) return &m;
    return nullptr;
}

std::span<const core::EnumMember> members_of(core::Kind kind) {
    switch (kind) {
    case core::Kind::Channels: return core::kChannelsMembers;
    case core::Kind::ECM: return core::kEcmMembers;
    default: fail_internal("not an enumeration kind");
    }
}

}  // namespace

PyTypeObject* enum_type(core::Kind kind) {
    static std::array<LazyClass, core::kKindCount> types;
    const std::span<const core::EnumMember> members = members_of(kind);
    return types[static_cast<std::size_t>(kind)].get(
        [&] { return create_enum(core::class_name_of(kind), members); });
}

bool to_enum(core::Kind kind, PyObject* o, std::int64_t& number) {
    PyTypeObject* type = enum_type(kind);
    if (!type || !to_instance(o, type)) return false;
    const core::EnumMember* member = reinterpret_cast<EnumObject*>(o)->member;
    if (!member) {  // made by PyPy's object.__new__
        raise_conversion_error(o, type_name(type));
        return false;
    }
    // Every other instance is one of the members created with the class.
    if (!find_member(members_of(kind), member->number))
        fail_internal("enumeration object without a member");
    number = member->number;
    return true;
}

}  // namespace sonvex

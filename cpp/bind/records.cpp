#include "bind/records.hpp"

namespace vz::bind {
using namespace nb::literals;

nb::object make_dataclass(nb::module_ &m, const char *name, const std::vector<Field> &fields, bool frozen, nb::dict ns,
                          const char *doc) {
    nb::module_ dc = import("dataclasses");
    nb::list field_list;
    for (const Field &f : fields) {
        nb::str ann(f.annotation.c_str());
        switch (f.kind) {
            case Field::Required: field_list.append(nb::make_tuple(nb::str(f.name.c_str()), ann)); break;
            case Field::Default:
                field_list.append(
                    nb::make_tuple(nb::str(f.name.c_str()), ann, dc.attr("field")("default"_a = f.value)));
                break;
            case Field::Factory:
                field_list.append(
                    nb::make_tuple(nb::str(f.name.c_str()), ann, dc.attr("field")("default_factory"_a = f.value)));
                break;
        }
    }
    nb::object modname = m.attr("__name__");
    ns["__module__"] = modname;
    if (doc) ns["__doc__"] = nb::str(doc);
    nb::object cls = dc.attr("make_dataclass")(name, field_list, "namespace"_a = ns, "frozen"_a = frozen);
    nb::setattr(cls, "__qualname__", nb::str(name));
    m.attr(name) = cls;
    return cls;
}

nb::object make_str_enum(nb::module_ &m, const char *name,
                         const std::vector<std::pair<const char *, const char *>> &members) {
    nb::list names;
    for (auto &kv : members) names.append(nb::make_tuple(kv.first, kv.second));
    nb::object enum_cls = import("enum").attr("Enum");
    nb::object builtins_str = import("builtins").attr("str");
    nb::object cls = enum_cls(name, names, "module"_a = m.attr("__name__"), "qualname"_a = name,
                              "type"_a = builtins_str);
    m.attr(name) = cls;
    return cls;
}

}  // namespace vz::bind

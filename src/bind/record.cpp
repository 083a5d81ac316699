#include "bind/record.hpp"

#include "bind/host.hpp"

namespace bind {

Ref add_record(PyObject* module, const char* name, const char* doc, std::span<const FieldDef> fields) {
    Ref dataclasses = check(PyImport_ImportModule("dataclasses"));
    Ref make = attr(dataclasses.get(), BIND_NAME("make_dataclass"));
    Ref field = attr(dataclasses.get(), BIND_NAME("field"));
    Ref specs = check(PyList_New(0));
    for (const FieldDef& f : fields) {
        Ref fname = check(PyUnicode_InternFromString(f.name));
        Ref annotation = check(PyUnicode_FromString(f.annotation));
        Ref value;
        switch (f.value) {
            case FieldDefault::Zero:
                value = py_int(0);
                break;
            case FieldDefault::ZeroFloat:
                value = py_float(0.0);
                break;
            case FieldDefault::True:
                value = Ref::borrow(Py_True);
                break;
            case FieldDefault::NewDict:
            case FieldDefault::NewList:
                PyTypeObject* factory = f.value == FieldDefault::NewDict ? &PyDict_Type : &PyList_Type;
                value = call_kw(field.get(), {},
                                {{BIND_NAME("default_factory"), reinterpret_cast<PyObject*>(factory)}});
                break;
        }
        Ref spec = tuple_of({fname.get(), annotation.get(), value.get()});
        check(PyList_Append(specs.get(), spec.get()));
    }
    Ref namespace_ = check(PyDict_New());
    Ref doc_text = check(PyUnicode_FromString(doc));
    check(PyDict_SetItemString(namespace_.get(), "__doc__", doc_text.get()));
    Ref cls_name = check(PyUnicode_FromString(name));
    Ref module_name = check(PyModule_GetNameObject(module));
    Ref cls = call_kw(make.get(), {cls_name.get(), specs.get()},
                      {{BIND_NAME("namespace"), namespace_.get()}, {BIND_NAME("module"), module_name.get()}});
    check(PyModule_AddObjectRef(module, name, cls.get()));
    return cls;
}

}  // namespace bind

// The record classes: ObjectLikeDict2, BarLikeDict2, TickLikeDict2 and QuoteItemLikeDict2.
//
// Each class is made by calling type() with an ordered namespace of c_sdk functions and
// property objects, so metaclass, slots, the `data` member descriptor and the class
// namespace are exactly those of the equivalent Python class. The Python-visible functions
// are the definition of the behaviour.
//
// For speed, the classes' own C slots (tp_getattro, mp_subscript, ...) are then replaced by
// C functions that do what the generic slot function would do when it calls those
// functions. This stays exact because the interpreter re-derives a slot whenever the
// matching dunder is set or deleted on the class or a base (type_setattro -> update_slot),
// and subclasses get the generic slot functions at creation. So while one of our slot
// functions is installed on a class, the dunders it stands for are still our functions.
// Shortcuts inside are taken only where they give the same result: `self.data` read
// straight from the slot when the class still resolves `data` to its own member descriptor,
// `data.get(key)` as a dict lookup when the mapping is an exact dict, and a class attribute
// lookup remembered while the class's version tag says the class has not changed.
#include "records.hpp"

#include "../plumbing/function.hpp"
#include "../plumbing/state.hpp"

#include <structmember.h>

#include <string>

namespace csdk {
namespace {

enum Op { INIT, GETITEM, GETATTR, SETITEM, SETATTR, CONTAINS, STR, REPR, OP_COUNT };

constexpr int kMaxFields = 14;

struct RecordClass;

// What one Python-visible function of a record class needs (the Function's data pointer).
struct Entry {
    RecordClass* cls = nullptr;
    Params params;
    PyObject* key = nullptr;  // property functions: the mapping key
};

// What one attribute name resolved to on a class, kept while the class's version tag is
// unchanged: looking it up again would give the same descriptor.
struct AttrMemo {
    PyObject* name = nullptr;   // strong, so the address cannot come back as another name
    unsigned int tag = 0;       // 0: empty
    PyObject* descr = nullptr;  // borrowed: held by the class's dicts while the tag is unchanged
    // When descr was a property whose getter is one of ours: that getter (strong, so its
    // address stays its own) and its entry. A property can be re-initialised in place
    // without the class changing, so a use checks that the property still holds it.
    PyObject* fget = nullptr;
    const Entry* getter = nullptr;
};
constexpr size_t kMemoSize = 64;

struct RecordClass {
    const char* name;
    const Op* ops;  // class namespace order of the methods
    int n_ops;
    const char* const* fields;  // properties, in namespace order
    int n_fields;
    bool has_setters;
    int line;  // where the class is described, for traceback entries

    // Filled when the class is made.
    PyObject* name_str = nullptr;
    GlobalSlot global{&name_str};  // the class looked up by its module-level name
    PyTypeObject* type = nullptr;  // strong
    PyObject* data_descr = nullptr;  // the class's own `data` member descriptor (strong)
    Py_ssize_t data_offset = 0;
    // The class's version tag when `data` was last seen to resolve to data_descr. Every
    // change to a class resets its tag to 0 and the next lookup assigns a fresh one, never
    // reused, so an equal non-zero tag means nothing changed since.
    mutable unsigned int data_tag = 0;
    getattrofunc fast_getattro = nullptr;
    setattrofunc generic_setattro = nullptr;  // the interpreter's slot function for __setattr__
    AttrMemo memo[kMemoSize];
    PyObject* funcs[OP_COUNT] = {};  // strong
    Entry methods[OP_COUNT];
    Entry getters[kMaxFields];
    Entry setters[kMaxFields];
};

constexpr Op object_ops[] = {INIT, GETITEM, GETATTR, SETITEM, SETATTR, STR, REPR};
constexpr Op bar_ops[] = {INIT, GETITEM, SETITEM, CONTAINS, GETATTR, SETATTR, STR, REPR};
constexpr Op field_record_ops[] = {INIT, GETITEM, SETITEM, GETATTR, SETATTR, STR, REPR};

#define FIELDS(name, ...) const char* const name[] = {__VA_ARGS__};
#include "fields.def"
#undef FIELDS

template <typename T, size_t N>
constexpr int count(const T (&)[N]) {
    return static_cast<int>(N);
}

// In module binding order.
enum { QUOTE, TICK, BAR, OBJECT, CLASS_COUNT };
RecordClass g_classes[CLASS_COUNT] = {
    {"QuoteItemLikeDict2", field_record_ops, count(field_record_ops), quote_fields, count(quote_fields), false,
     __LINE__},
    {"TickLikeDict2", field_record_ops, count(field_record_ops), tick_fields, count(tick_fields), true, __LINE__},
    {"BarLikeDict2", bar_ops, count(bar_ops), bar_fields, count(bar_fields), true, __LINE__},
    {"ObjectLikeDict2", object_ops, count(object_ops), nullptr, 0, false, __LINE__},
};

PyObject* s_getattribute;         // "__getattribute__"
PyObject* s_getitem;              // "__getitem__"
PyObject* s_delitem;              // "__delitem__"
PyObject* s_object_getattribute;  // object.__getattribute__ (borrowed from object's dict)

// The first field of CPython's property object. Checked against every property made here
// before it is relied on; if the layout ever differs, attribute reads take the descriptor
// protocol instead.
struct PropertyHead {
    PyObject_HEAD
    PyObject* fget;
};
bool g_property_layout_ok = true;

inline PyObject* slot_value(PyObject* self, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

inline const Entry& entry_of(PyObject* func) { return *static_cast<const Entry*>(as_function(func)->data); }

bool reverify_data(const RecordClass& c, PyTypeObject* tp) {
    bool same = type_lookup(tp, g_names.data) == c.data_descr;
    c.data_tag = same ? type_version_tag(tp) : 0;
    return same;
}

// True while `self.data` on an instance of the exact class is its slot: the class's
// __getattribute__ is object's (implied by our tp_getattro being installed) and `data`
// still resolves to the member descriptor the class was made with.
inline bool slot_is_data(const RecordClass& c, PyTypeObject* tp) {
    if (tp != c.type || tp->tp_getattro != c.fast_getattro) return false;
    unsigned int tag = type_version_tag(tp);
    return (tag != 0 && tag == c.data_tag) || reverify_data(c, tp);
}

PyObject* field_get_call(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

// One of our property getters, or null.
inline PyObject* record_getter(PyObject* descr) {
    if (!g_property_layout_ok || !Py_IS_TYPE(descr, &PyProperty_Type)) return nullptr;
    PyObject* fget = reinterpret_cast<PropertyHead*>(descr)->fget;
    return fget && Py_IS_TYPE(fget, &FunctionType) && as_function(fget)->vectorcall == field_get_call ? fget
                                                                                                      : nullptr;
}

// type_lookup(tp, name) for an exact str name, memoised per class. The memo may be
// overwritten by any code that runs afterwards, so callers copy what they need first.
inline const AttrMemo& lookup_in_class(RecordClass& c, PyTypeObject* tp, PyObject* name) {
    AttrMemo& m = c.memo[(reinterpret_cast<uintptr_t>(name) >> 4) % kMemoSize];
    unsigned int tag = type_version_tag(tp);
    if (tag != 0 && m.tag == tag && m.name == name) return m;
    PyObject* descr = type_lookup(tp, name);
    PyObject* fget = descr ? record_getter(descr) : nullptr;
    Py_XSETREF(m.name, Py_NewRef(name));
    Py_XSETREF(m.fget, Py_XNewRef(fget));
    m.getter = fget ? &entry_of(fget) : nullptr;
    m.descr = descr;
    m.tag = type_version_tag(tp);  // the lookup assigns one when it can
    return m;
}

[[gnu::noinline]] PyObject* read_data_slow(const RecordClass& c, PyObject* self) {
    if (slot_is_data(c, Py_TYPE(self))) {
        PyObject* d = slot_value(self, c.data_offset);
        if (d) return Py_NewRef(d);
    }
    return PyObject_GetAttr(self, g_names.data);
}

// self.data (new reference), as a Python method would read it. Inlined where the exact
// class's slot was last seen to be `data`: every method reads it first.
[[gnu::always_inline]] inline PyObject* read_data(const RecordClass& c, PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp == c.type && tp->tp_getattro == c.fast_getattro && type_version_tag(tp) != 0 &&
        type_version_tag(tp) == c.data_tag) [[likely]] {
        PyObject* d = slot_value(self, c.data_offset);
        if (d) return Py_NewRef(d);
    }
    return read_data_slow(c, self);
}

// self.data through __getattribute__ alone, without the __getattr__ fallback: what
// __getattr__ itself reads, so that a record with an empty slot raises AttributeError
// instead of recursing.
PyObject* read_data_direct(const RecordClass& c, PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if (slot_is_data(c, tp)) {
        PyObject* d = slot_value(self, c.data_offset);
        if (d) return Py_NewRef(d);
        return PyObject_GenericGetAttr(self, g_names.data);  // the slot's own AttributeError
    }
    PyObject* getattribute = type_lookup(tp, s_getattribute);
    if (!getattribute || getattribute == s_object_getattribute) return PyObject_GenericGetAttr(self, g_names.data);
    Owned hold = Owned::incref(getattribute);
    descrgetfunc get = Py_TYPE(getattribute)->tp_descr_get;
    if (!get) return PyObject_CallOneArg(getattribute, g_names.data);
    Owned bound = Owned::steal(get(getattribute, self, reinterpret_cast<PyObject*>(tp)));
    return bound ? PyObject_CallOneArg(bound.borrow(), g_names.data) : nullptr;
}

// Forwarding to a mapping that is itself a record (a record wrapping itself, a long chain
// of records, a class whose super() leads back to its own __setattr__) re-enters these
// functions in C, with no Python frame in between to count: each forwarding call that
// may come back here is bounded as the interpreter bounds its own recursion, so such
// use raises RecursionError as the same class written in Python does.
class RecursionGuard {
public:
    RecursionGuard() : entered_(Py_EnterRecursiveCall(" while calling a Python object") == 0) {}
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    explicit operator bool() const { return entered_; }

private:
    bool entered_;
};

// mapping.get(key) (new reference); for an exact dict that is a lookup with None default.
// The caller holds a reference to the mapping: key comparisons can run Python code.
PyObject* mapping_get(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (v) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    RecursionGuard guard;
    return guard ? PyObject_CallMethodOneArg(mapping, g_names.get, key) : nullptr;
}

// mapping[key] = value: 0, or -1 with an error set.
int mapping_set(PyObject* mapping, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(mapping)) return PyDict_SetItem(mapping, key, value);
    RecursionGuard guard;
    return guard ? PyObject_SetItem(mapping, key, value) : -1;
}

inline const TracebackSite& site(const RecordClass& c, Op op) { return c.methods[op].params.site; }

PyObject* traced(PyObject* result, const TracebackSite& where) {
    if (!result) add_traceback(where);
    return result;
}

bool traced(int rc, const TracebackSite& where) {
    if (rc < 0) add_traceback(where);
    return rc >= 0;
}

// ---- the behaviour of each method ----

PyObject* records_iter(PyObject* self) noexcept;

// Item access never raises IndexError, so the interpreter's fallback iteration over
// __getitem__ (also behind `in` without __contains__) would never end. tp_iter refuses it;
// a subclass gets the same slot the first time one of its instances is given its mapping.
void adopt_type(const RecordClass& c, PyTypeObject* tp) {
    if (tp->tp_iter || !(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || (tp->tp_flags & Py_TPFLAGS_IMMUTABLETYPE)) return;
    if (PyType_IsSubtype(tp, c.type)) tp->tp_iter = records_iter;
}

PyObject* getitem_call(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

bool is_record_getitem(PyObject* f) {
    return Py_IS_TYPE(f, &FunctionType) && as_function(f)->vectorcall == getitem_call;
}

// iter(record): refused while __getitem__ is a record's; otherwise what the interpreter does
// for a class without __iter__ (a host may have given the class another __getitem__).
PyObject* records_iter(PyObject* self) noexcept {
    PyObject* getitem = type_lookup(Py_TYPE(self), s_getitem);
    if (!(getitem && is_record_getitem(getitem)) && PySequence_Check(self)) return PySeqIter_New(self);
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not iterable", Py_TYPE(self)->tp_name);
    return nullptr;
}

// self.data = data
bool do_init(const RecordClass& c, PyObject* self, PyObject* data) {
    if (!traced(PyObject_SetAttr(self, g_names.data, data), site(c, INIT))) return false;
    adopt_type(c, Py_TYPE(self));
    return true;
}

// self.data.get(item)
PyObject* do_getitem(const RecordClass& c, PyObject* self, PyObject* item) {
    Owned d = Owned::steal(read_data(c, self));
    return traced(d ? mapping_get(d.borrow(), item) : nullptr, site(c, GETITEM));
}

// self.data.get(item), reading `data` without falling back to __getattr__.
PyObject* do_getattr(const RecordClass& c, PyObject* self, PyObject* item) {
    Owned d = Owned::steal(read_data_direct(c, self));
    return traced(d ? mapping_get(d.borrow(), item) : nullptr, site(c, GETATTR));
}

// self.data[item] = value
bool do_setitem(const RecordClass& c, PyObject* self, PyObject* item, PyObject* value) {
    Owned d = Owned::steal(read_data(c, self));
    return traced(d ? mapping_set(d.borrow(), item, value) : -1, site(c, SETITEM));
}

// item == "data" in the sense of `not (item != "data")`: 1, 0, or -1 with an error set.
int names_data(PyObject* item) {
    if (item == g_names.data) return 1;
    if (PyUnicode_CheckExact(item))
        return PyUnicode_GET_LENGTH(item) == 4 && PyUnicode_Compare(item, g_names.data) == 0;
    Owned ne = Owned::steal(PyObject_RichCompare(item, g_names.data, Py_NE));
    if (!ne) return -1;
    int truth = PyObject_IsTrue(ne.borrow());
    return truth < 0 ? -1 : !truth;
}

// super(<class by its module-level name>, self).__setattr__(item, value)
int super_setattr(PyObject* cls, PyObject* self, PyObject* item, PyObject* value) {
    Owned hold = Owned::incref(cls);
    RecursionGuard guard;
    if (!guard) return -1;
    Owned sup = Owned::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self,
                                                          nullptr));
    if (!sup) return -1;
    Owned r = Owned::steal(PyObject_CallMethodObjArgs(sup.borrow(), g_names.__setattr__, item, value, nullptr));
    return r ? 0 : -1;
}

// self.data[item] = value, the branch of __setattr__ for every item but "data".
inline bool setattr_in_mapping(const RecordClass& c, PyObject* self, PyObject* item, PyObject* value) {
    Owned d = Owned::steal(read_data(c, self));
    return traced(d ? mapping_set(d.borrow(), item, value) : -1, site(c, SETATTR));
}

// if item != "data": self.data[item] = value
// else: super(Class, self).__setattr__(item, value)
bool do_setattr(RecordClass& c, PyObject* self, PyObject* item, PyObject* value) {
    const TracebackSite& where = site(c, SETATTR);
    int is_data = names_data(item);
    if (is_data < 0) return traced(-1, where);
    if (!is_data) return setattr_in_mapping(c, self, item, value);
    PyObject* cls = lookup_global(c.global);
    if (!cls) return traced(-1, where);
    // For the exact class, super() lands on object.__setattr__, which is the generic setter.
    int rc = cls == reinterpret_cast<PyObject*>(c.type) && Py_TYPE(self) == c.type
                 ? PyObject_GenericSetAttr(self, item, value)
                 : super_setattr(cls, self, item, value);
    if (!traced(rc, where)) return false;
    adopt_type(c, Py_TYPE(self));
    return true;
}

// key in self.data: 1, 0, or -1 with an error set.
int do_contains(const RecordClass& c, PyObject* self, PyObject* key) {
    Owned d = Owned::steal(read_data(c, self));
    int rc;
    if (!d) {
        rc = -1;
    } else if (PyDict_CheckExact(d.borrow())) {
        rc = PyDict_Contains(d.borrow(), key);
    } else {
        RecursionGuard guard;
        rc = guard ? PySequence_Contains(d.borrow(), key) : -1;
    }
    traced(rc, site(c, CONTAINS));
    return rc;
}

// self.data.__str__() / self.data.__repr__()
PyObject* do_format(const RecordClass& c, PyObject* self, Op op) {
    Owned d = Owned::steal(read_data(c, self));
    PyObject* method = op == STR ? g_names.__str__ : g_names.__repr__;
    RecursionGuard guard;
    return traced(d && guard ? PyObject_CallMethodNoArgs(d.borrow(), method) : nullptr, site(c, op));
}

// Property getter: self.data.get(key)
PyObject* do_field_get(const Entry& e, PyObject* self) {
    Owned d = Owned::steal(read_data(*e.cls, self));
    return traced(d ? mapping_get(d.borrow(), e.key) : nullptr, e.params.site);
}

// ---- the Python-visible functions ----

#define CSDK_BIND(N)                                                           \
    const Entry& e = entry_of(func);                                           \
    PyObject* buffer[N];                                                       \
    PyObject* const* a = bind_args<N>(e.params, args, nargsf, kwnames, buffer); \
    if (!a) return nullptr;

PyObject* init_call(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    CSDK_BIND(2)
    if (!do_init(*e.cls, a[0], a[1])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* getitem_call(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    CSDK_BIND(2)
    return do_getitem(*e.cls, a[0], a[1]);
}

PyObject* getattr_call(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    CSDK_BIND(2)
    return do_getattr(*e.cls, a[0], a[1]);
}

PyObject* setitem_call(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    CSDK_BIND(3)
    if (!do_setitem(*e.cls, a[0], a[1], a[2])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* setattr_call(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    CSDK_BIND(3)
    if (!do_setattr(*e.cls, a[0], a[1], a[2])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* contains_call(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    CSDK_BIND(2)
    int rc = do_contains(*e.cls, a[0], a[1]);
    return rc < 0 ? nullptr : PyBool_FromLong(rc);
}

PyObject* str_call(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    CSDK_BIND(1)
    return do_format(*e.cls, a[0], STR);
}

PyObject* repr_call(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    CSDK_BIND(1)
    return do_format(*e.cls, a[0], REPR);
}

PyObject* field_get_call(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    CSDK_BIND(1)
    return do_field_get(e, a[0]);
}

// Property setter: self.data[key] = value
PyObject* field_set_call(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    CSDK_BIND(2)
    Owned d = Owned::steal(read_data(*e.cls, a[0]));
    if (!traced(d ? mapping_set(d.borrow(), e.key, a[1]) : -1, e.params.site)) return nullptr;
    Py_RETURN_NONE;
}

#undef CSDK_BIND

struct OpInfo {
    const char* name;
    const char* params;
    vectorcallfunc call;
};

const OpInfo op_table[OP_COUNT] = {
    {"__init__", "self data", init_call},          {"__getitem__", "self item", getitem_call},
    {"__getattr__", "self item", getattr_call},    {"__setitem__", "self item value", setitem_call},
    {"__setattr__", "self item value", setattr_call}, {"__contains__", "self key", contains_call},
    {"__str__", "self", str_call},                 {"__repr__", "self", repr_call},
};

// ---- the class's own slots ----
//
// Each one does what the generic slot function does when the class's dunders are the
// functions above. tp_setattro is ours only where the interpreter lets object.__setattr__
// and object.__delattr__ run on instances of a class with a C-level tp_setattro (3.13 on):
// before, they refuse them ("can't apply this __setattr__"), and super().__setattr__ and
// the direct use of the property setters go through them, so there the generic slot
// stays and calls our __setattr__ by name.

// Generic attribute lookup, then __getattr__ when it raised AttributeError; a name the class
// does not define goes to __getattr__ directly, without raising and catching first (the
// instances have no __dict__).
template <int K>
PyObject* fast_getattro(PyObject* self, PyObject* name) noexcept {
    RecordClass& c = g_classes[K];
    PyTypeObject* tp = Py_TYPE(self);
    PyObject* result;
    if (!PyUnicode_CheckExact(name) || tp->tp_dictoffset != 0) {
        result = PyObject_GenericGetAttr(self, name);
    } else {
        const AttrMemo& m = lookup_in_class(c, tp, name);
        PyObject* descr = m.descr;
        if (!descr) return do_getattr(c, self, name);
        PyObject* fget = m.fget;
        if (fget && reinterpret_cast<PropertyHead*>(descr)->fget == fget) {
            // One of our getters: its entry is static, so neither the property nor the
            // getter is needed once it is read, even if the getter's code replaces them.
            const Entry& e = *m.getter;
            PyObject* d;
            if (slot_is_data(c, tp) && (d = slot_value(self, c.data_offset))) {
                Owned hold = Owned::incref(d);
                result = traced(mapping_get(d, e.key), e.params.site);
            } else {
                result = do_field_get(e, self);
            }
        } else {
            // The descriptor may be replaced while it runs.
            Owned hold = Owned::incref(descr);
            if (descrgetfunc get = Py_TYPE(descr)->tp_descr_get)
                result = get(descr, self, reinterpret_cast<PyObject*>(tp));
            else
                result = Py_NewRef(descr);
        }
    }
    if (result || !PyErr_ExceptionMatches(PyExc_AttributeError)) return result;
    PyErr_Clear();
    return do_getattr(c, self, name);
}

// Assignment calls __setattr__, which is ours while this slot is installed; deletion calls
// __delattr__, object's, through the interpreter's own slot function.
template <int K>
int fast_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    RecordClass& c = g_classes[K];
    if (!value) return c.generic_setattro(self, name, nullptr);
    // A str of another length than "data" names a field: no comparison to make.
    if (PyUnicode_CheckExact(name) && PyUnicode_GET_LENGTH(name) != 4) [[likely]]
        return setattr_in_mapping(c, self, name, value) ? 0 : -1;
    return do_setattr(c, self, name, value) ? 0 : -1;
}

template <int K>
PyObject* fast_subscript(PyObject* self, PyObject* key) noexcept {
    return do_getitem(g_classes[K], self, key);
}

template <int K>
int fast_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
    if (!value) {
        // What the interpreter raises for `del obj[key]` on a class with __setitem__ and
        // no __delitem__.
        PyErr_SetObject(PyExc_AttributeError, s_delitem);
        return -1;
    }
    return do_setitem(g_classes[K], self, key, value) ? 0 : -1;
}

template <int K>
int fast_contains(PyObject* self, PyObject* key) noexcept {
    return do_contains(g_classes[K], self, key);
}

template <int K>
PyObject* fast_str(PyObject* self) noexcept {
    return do_format(g_classes[K], self, STR);
}

template <int K>
PyObject* fast_repr(PyObject* self) noexcept {
    return do_format(g_classes[K], self, REPR);
}

template <int K>
int fast_init(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    const RecordClass& c = g_classes[K];
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n == 1 && (!kwds || PyDict_GET_SIZE(kwds) == 0)) return do_init(c, self, PyTuple_GET_ITEM(args, 0)) ? 0 : -1;
    // Keywords and wrong counts go through the function, for its parsing and messages.
    Owned full = Owned::steal(PyTuple_New(n + 1));
    if (!full) return -1;
    PyTuple_SET_ITEM(full.borrow(), 0, Py_NewRef(self));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(full.borrow(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    Owned r = Owned::steal(PyObject_Call(c.funcs[INIT], full.borrow(), kwds));
    return r ? 0 : -1;
}

template <int K>
void install_slots(RecordClass& c) {
    PyTypeObject* tp = c.type;
    c.fast_getattro = fast_getattro<K>;
    tp->tp_getattro = fast_getattro<K>;
    c.generic_setattro = tp->tp_setattro;
    if constexpr (CSDK_OBJECT_SETATTR_ALLOWS_C_SETTERS) tp->tp_setattro = fast_setattro<K>;
    tp->tp_as_mapping->mp_subscript = fast_subscript<K>;
    tp->tp_as_mapping->mp_ass_subscript = fast_ass_subscript<K>;
    if (c.funcs[CONTAINS]) tp->tp_as_sequence->sq_contains = fast_contains<K>;
    tp->tp_str = fast_str<K>;
    tp->tp_repr = fast_repr<K>;
    tp->tp_init = fast_init<K>;
    tp->tp_iter = records_iter;
    PyType_Modified(tp);
}

// ---- building the classes ----

bool prepare(Entry& e, RecordClass& c, const char* name, const char* params, vectorcallfunc call) {
    e.cls = &c;
    const FunctionRow row = {name, false, params, call, &e.params, __FILE__, c.line};
    std::string where = std::string("c_sdk.") + c.name + "." + name;
    return prepare_params(row, name, where.c_str());
}

PyObject* make_function(Entry& e, RecordClass& c, const char* name, const char* params, vectorcallfunc call) {
    if (!prepare(e, c, name, params, call)) return nullptr;
    std::string qualname = std::string(c.name) + "." + name;
    return new_function({call, &e, name, qualname.c_str(), "c_sdk", nullptr, e.key, &e.params});
}

// property(getter[, setter]) for one field.
PyObject* make_property(RecordClass& c, int i) {
    const char* field = c.fields[i];
    Owned key = Owned::steal(PyUnicode_InternFromString(field));
    if (!key) return nullptr;
    Entry& get = c.getters[i];
    Entry& set = c.setters[i];
    Py_XSETREF(get.key, Py_NewRef(key.borrow()));
    Py_XSETREF(set.key, Py_NewRef(key.borrow()));
    Owned fget = Owned::steal(make_function(get, c, field, "self", field_get_call));
    if (!fget) return nullptr;
    Owned fset;
    if (c.has_setters) {
        fset = Owned::steal(make_function(set, c, field, "self value", field_set_call));
        if (!fset) return nullptr;
    }
    PyObject* prop = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type), fget.borrow(),
                                                  fset ? fset.borrow() : nullptr, nullptr);
    if (prop && reinterpret_cast<PropertyHead*>(prop)->fget != fget.borrow()) g_property_layout_ok = false;
    return prop;
}

PyObject* make_namespace(RecordClass& c) {
    Owned ns = Owned::steal(PyDict_New());
    Owned slots = Owned::steal(PyList_New(1));
    if (!ns || !slots) return nullptr;
    PyList_SET_ITEM(slots.borrow(), 0, Py_NewRef(g_names.data));
    if (PyDict_SetItem(ns.borrow(), g_names.__module__, g_names.c_sdk) < 0 ||
        PyDict_SetItem(ns.borrow(), g_names.__slots__, slots.borrow()) < 0)
        return nullptr;
    for (int i = 0; i < OP_COUNT; ++i) Py_CLEAR(c.funcs[i]);
    for (int i = 0; i < c.n_ops; ++i) {
        const OpInfo& op = op_table[c.ops[i]];
        PyObject* func = make_function(c.methods[c.ops[i]], c, op.name, op.params, op.call);
        if (!func) return nullptr;
        c.funcs[c.ops[i]] = func;
        if (PyDict_SetItemString(ns.borrow(), op.name, func) < 0) return nullptr;
    }
    for (int i = 0; i < c.n_fields; ++i) {
        Owned prop = Owned::steal(make_property(c, i));
        if (!prop || PyDict_SetItemString(ns.borrow(), c.fields[i], prop.borrow()) < 0) return nullptr;
    }
    return ns.release();
}

template <int K>
bool make_class(PyObject* dict) {
    RecordClass& c = g_classes[K];
    if (!c.name_str && !(c.name_str = PyUnicode_InternFromString(c.name))) return false;
    c.global = GlobalSlot{&c.name_str};
    Owned ns = Owned::steal(make_namespace(c));
    Owned bases = ns ? Owned::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type))) : Owned();
    if (!bases) return false;
    Owned cls = Owned::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), c.name_str,
                                                          bases.borrow(), ns.borrow(), nullptr));
    if (!cls) return false;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls.borrow());
    PyObject* descr = type_lookup(tp, g_names.data);
    if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
        PyErr_Format(PyExc_SystemError, "%s: no slot descriptor for 'data'", c.name);
        return false;
    }
    Py_XSETREF(c.data_descr, Py_NewRef(descr));
    c.data_tag = 0;
    c.data_offset = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member->offset;
    Py_XSETREF(c.type, reinterpret_cast<PyTypeObject*>(Py_NewRef(cls.borrow())));
    install_slots<K>(c);
    return PyDict_SetItem(dict, c.name_str, cls.borrow()) == 0;
}

bool intern_own_names() {
    for (auto [slot, text] : {std::pair{&s_getattribute, "__getattribute__"}, std::pair{&s_getitem, "__getitem__"},
                              std::pair{&s_delitem, "__delitem__"}})
        if (!*slot && !(*slot = PyUnicode_InternFromString(text))) return false;
    s_object_getattribute = type_lookup(&PyBaseObject_Type, s_getattribute);
    return true;
}

}  // namespace

bool bind_record_classes(PyObject* dict) {
    return intern_own_names() && make_class<QUOTE>(dict) && make_class<TICK>(dict) && make_class<BAR>(dict) &&
           make_class<OBJECT>(dict);
}

}  // namespace csdk

// The store header in the host's array og: checked against the headers this
// process initialised before the store touches it.
#include "orga.hpp"

#include "checks.hpp"
#include "hold.hpp"
#include "shared.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>

namespace cellcoef {
namespace {

// A header the store initialised, and the bytes it last left in it. The entry
// lives while the array that owns the header's memory does: a weak reference
// to that array removes it when the array goes, so the registry holds no more
// entries than there are live stores, and memory freed and reused by another
// array is never taken for a store.
struct Registered {
    PyObject* owner_ref = nullptr;  // owned weak reference, its callback forget()
    std::unique_ptr<OrgaHeader> last;
};

// By the header's address. Touched only under the interpreter lock. Entries
// hold their references without releasing them on destruction: the map may be
// destroyed after the interpreter.
std::map<std::uintptr_t, Registered> registry;

std::uintptr_t address_of(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// The header's fields are read and written as int32.
bool aligned_for_header(PyArrayObject* og)
{
    return address_of(PyArray_DATA(og)) % alignof(OrgaHeader) == 0;
}

OrgaHeader* last_state(const void* header)
{
    const auto found = registry.find(address_of(header));
    return found != registry.end() ? found->second.last.get() : nullptr;
}

void erase(std::map<std::uintptr_t, Registered>::iterator at)
{
    PyObject* ref = at->second.owner_ref;
    registry.erase(at);
    // A weak reference released before its object runs no callback and no
    // other code.
    Py_XDECREF(ref);
}

// The callback of the owners' weak references: the owner is gone.
PyObject* forget(PyObject*, PyObject* ref)
{
    for (auto at = registry.begin(); at != registry.end(); ++at)
        if (at->second.owner_ref == ref) {
            erase(at);
            break;
        }
    Py_RETURN_NONE;
}

PyMethodDef forget_def = {"forget_store_header", forget, METH_O, nullptr};
PyObject* forget_callback = nullptr;  // made once, kept for the process

// The array whose life bounds og's memory: the last ndarray along og's bases
// (og itself when it owns its data).
PyObject* memory_owner(PyArrayObject* og)
{
    PyArrayObject* owner = og;
    while (PyObject* base = PyArray_BASE(owner)) {
        if (!PyArray_Check(base)) break;
        owner = reinterpret_cast<PyArrayObject*>(base);
    }
    return reinterpret_cast<PyObject*>(owner);
}

// Writes a new header into og's data and registers it. Null with the error
// set, og untouched, when the weak reference cannot be made.
OrgaHeader* register_new(PyArrayObject* og)
{
    if (forget_callback == nullptr) {
        forget_callback = PyCFunction_New(&forget_def, nullptr);
        if (forget_callback == nullptr) return nullptr;
    }
    // Making the reference may run a collection, hence Python code, and so
    // comes before the registry is looked at.
    frame::Ref ref(PyWeakref_NewRef(memory_owner(og), forget_callback));
    if (!ref) return nullptr;
    auto last = std::make_unique<OrgaHeader>();

    auto* o = static_cast<OrgaHeader*>(PyArray_DATA(og));
    const std::uintptr_t start = address_of(o);
    // Headers this one overlaps (this one's former self among them) are
    // written over now.
    const std::uintptr_t reach = sizeof(OrgaHeader) - 1;
    auto at = registry.lower_bound(start > reach ? start - reach : 0);
    while (at != registry.end() && at->first <= start + reach) erase(at++);

    Registered& entry = registry[start];
    orga_init(o);
    *last = *o;
    entry.last = std::move(last);
    entry.owner_ref = ref.release();
    return o;
}

}  // namespace

bool orga_readable(PyArrayObject* og, npy_intp bytes)
{
    if (!PyArray_IS_C_CONTIGUOUS(og)) return frame::fail_arg("Array not contiguous", "og"), false;
    if (!aligned_for_header(og)) return frame::fail_arg("Array not aligned", "og"), false;
    if (PyArray_NBYTES(og) < bytes) return frame::fail_arg("Array too small", "og"), false;
    return true;
}

OrgaSession::OrgaSession(PyArrayObject* og)
{
    if (!orga_readable(og, 0)) return;
    if (!frame::check_writeable(og, "og")) return;
    const std::size_t extent =
        PyArray_NDIM(og) > 0 ? static_cast<std::size_t>(PyArray_STRIDE(og, 0) * PyArray_DIM(og, 0))
                             : 0;
    void* data = PyArray_DATA(og);
    switch (orga_prepare(data, static_cast<std::size_t>(PyArray_NBYTES(og)), extent,
                         last_state(data))) {
    case OrgaPrepare::ready:
        header_ = static_cast<OrgaHeader*>(data);
        return;
    case OrgaPrepare::blank:
        header_ = register_new(og);
        return;
    case OrgaPrepare::size_check_failed:
        frame::report(CHECK_STORE_SIZE);
        return;
    case OrgaPrepare::too_small:
        frame::fail_arg("Array too small", "og");
        return;
    case OrgaPrepare::invalid:
        frame::fail_arg("Invalid store header", "og");
        return;
    }
}

void OrgaSession::commit()
{
    if (OrgaHeader* last = last_state(header_)) std::memcpy(last, header_, sizeof(OrgaHeader));
    committed_ = true;
}

OrgaSession::~OrgaSession()
{
    if (header_ == nullptr || committed_) return;
    if (const OrgaHeader* last = last_state(header_)) orga_restore(header_, *last);
}

}  // namespace cellcoef

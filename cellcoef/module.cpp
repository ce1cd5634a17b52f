#include "lowmem.hpp"
#include "methods.hpp"
#include "orga.hpp"
#include "settings.hpp"
#include "shared.hpp"
#include "store_api.hpp"

namespace {

PyDoc_STRVAR(module_doc,
"Update coefficients of an FDTD grid from its materials.\n"
"\n"
"last turns the RLE arrays of a material pair into RLE arrays of update\n"
"coefficients and marks the code words; dispatch turns one grid line into a\n"
"run table whose parameter vectors a process-wide store, with its header in\n"
"the caller's array og, folds together; stats, settol and setrun report and\n"
"tune that store. Every refusal raises the module's error class (Exception,\n"
"or the StandardError bound in __main__ when the module was imported) and\n"
"changes nothing. The CODE_*, RUN_RECORD_INTS, STORE_HEADER_BYTES and DEBUG_*\n"
"constants are the numbers these methods share with a host.");

PyDoc_STRVAR(stats_doc,
"stats(og, /)\n"
"--\n"
"\n"
"The store's counters, read from the header at the start of og as it stands.\n"
"\n"
"Returns (ring_bytes, direct_bytes, hits, inserts, blocks, large_allocs, 0):\n"
"the bytes of stored vectors and of auxiliary blocks, the folded and the newly\n"
"stored vectors, the 128 KiB blocks and the separate allocations (seven zeros\n"
"for an array of zeros). Raises the module's error when og is not a\n"
"C-contiguous, 4-byte aligned array holding the counters.");

PyDoc_STRVAR(dispatch_doc,
"dispatch(runs, og, group_width, pass_, z, y, codes, coef_lists, ext, norms,\n"
"         lossy3=0, dtfact=1.0, ntail=0, /)\n"
"--\n"
"\n"
"Turns grid line (z, y) into the run table of pass pass_ (0 or 1).\n"
"\n"
"Reads line (z, y) of every RLE array of coef_lists = [pm, pl] (from last, at\n"
"most 24 each), the int16 code words codes[z, y], the loss profiles of\n"
"ext[0].loss and ext[1].max_stab_par where split-loss (tag 1) and lumped\n"
"(tag 2) cells ask for them, and the four float32 norm tables of norms.\n"
"Writes runs (int32): runs[0] = 1 + RUN_RECORD_INTS x records, then the\n"
"records (x, dx, params, code, aux), params and aux being 32-bit addresses of\n"
"float vectors in the store whose header lives in og; rewrites the line's\n"
"codes. Returns None. Raises the module's error, with runs, codes and og\n"
"unchanged, for arrays too small or of another element size, missing\n"
"sequence items or attributes, mixed groups and the other refusals of the\n"
"README's dispatch section.");

PyDoc_STRVAR(last_doc,
"last(rle_a, rle_b, codes, bit, a_scale, /)\n"
"--\n"
"\n"
"Update coefficients of the material pair (a / a_scale, b) as RLE arrays.\n"
"\n"
"Returns (pm, pl, count): two new RLE arrays of rle_b's shape and type,\n"
"pm = 1 / (a + b/2) compressed within the tolerance and pl = (a - b/2) /\n"
"(a + b/2) exactly, and the number of cells whose pm came out 0. In the int16\n"
"array codes (rle_b's shape, lines contiguous) it clears flag `bit` where pm\n"
"is 0 and sets the lossy flag where pl is below 1; a bit of COMPONENT_COUNT or\n"
"more marks nothing. Raises the module's error, with codes unchanged, for\n"
"inputs that are not consistent RLE arrays, codes of another shape, a\n"
"negative bit or a non-finite coefficient.");

PyDoc_STRVAR(settol_doc,
"settol(tol, /)\n"
"--\n"
"\n"
"Sets the relative tolerance (default 1e-6) within which the store folds\n"
"vectors and last snaps pm values, for the rest of the process. Returns None.");

PyDoc_STRVAR(setrun_doc,
"setrun(run_limit, /)\n"
"--\n"
"\n"
"Sets the longest run dispatch forms (default 1000), for the rest of the\n"
"process. Returns None; a value below 1 raises the module's error and keeps\n"
"the old limit.");

PyMethodDef moduleMethods[] = {
    {"stats", frame::method<cellcoef::stats>, METH_VARARGS, stats_doc},
    {"dispatch", frame::method<cellcoef::dispatch>, METH_VARARGS, dispatch_doc},
    {"last", frame::method<cellcoef::last>, METH_VARARGS, last_doc},
    {"settol", frame::method<cellcoef::settol>, METH_VARARGS, settol_doc},
    {"setrun", frame::method<cellcoef::setrun>, METH_VARARGS, setrun_doc},
    {nullptr, nullptr, 0, nullptr},
};

const cellcoef::StoreApi store_api{cellcoef::STORE_API_VERSION, cellcoef::lowmem_contains};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "cellcoef", module_doc, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_cellcoef()
{
    using namespace cellcoef;
    PyObject* module = frame::create(
        &module_def, {frame::Variant::lookup, "Error parsing args", "Array expected", false},
        {
            {"CODE_COMPONENTS", CODE_COMPONENTS},
            {"CODE_LOSSY_FIRST", CODE_LOSSY_FIRST},
            {"CODE_LOSSY_SECOND", CODE_LOSSY_SECOND},
            {"CODE_MULTIGROUP", CODE_MULTIGROUP},
            {"CODE_BOTH_PASSES", CODE_BOTH_PASSES},
            {"CODE_TAG", CODE_TAG},
            {"CODE_TAG_SHIFT", CODE_TAG_SHIFT},
            {"CODE_SPLIT_LOSS", CODE_SPLIT_LOSS},
            {"CODE_LUMPED", CODE_LUMPED},
            {"CODE_FIRST_PASS_DROP", CODE_FIRST_PASS_DROP},
            {"CODE_SECOND_PASS_DROP", CODE_SECOND_PASS_DROP},
            {"CODE_GROUP_KEEP", CODE_GROUP_KEEP},
            {"COMPONENT_COUNT", COMPONENT_COUNT},
            {"RUN_RECORD_INTS", RUN_RECORD_INTS},
            {"STORE_HEADER_BYTES", static_cast<long>(sizeof(OrgaHeader))},
            {"DEBUG_INSERT_RESULT", DEBUG_INSERT_RESULT},
            {"DEBUG_COMPARE", DEBUG_COMPARE},
            {"DEBUG_VECTOR", DEBUG_VECTOR},
            {"DEBUG_RUN_HEADS", DEBUG_RUN_HEADS},
        });
    if (module == nullptr) return nullptr;
    read_debug_mask();
    // The store's C interface for consumers of run records; not a method.
    if (!frame::add_capsule(module, "_store_api", STORE_API_NAME, &store_api)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

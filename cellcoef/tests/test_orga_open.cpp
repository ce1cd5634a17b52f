// OrgaSession on real ndarrays, in the build's interpreter.
#include "frame.hpp"
#include "hold.hpp"
#include "orga.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

using namespace cellcoef;

namespace {

class OrgaOpen : public testing::Test {
protected:
    // The interpreter lives until the process ends: NumPy does not survive a
    // second initialisation.
    static void SetUpTestSuite()
    {
        if (Py_IsInitialized()) return;
        PyConfig config;
        PyConfig_InitPythonConfig(&config);
        PyConfig_SetBytesString(&config, &config.program_name, QUORAN_TEST_PYTHON);
        Py_InitializeFromConfig(&config);
        PyConfig_Clear(&config);
        static PyModuleDef def = {PyModuleDef_HEAD_INIT, "orga_open_test", nullptr, -1, nullptr,
                                  nullptr, nullptr, nullptr, nullptr};
        PyObject* module = frame::create(
            &def, {frame::Variant::lookup, "Error parsing args", "Array expected", false});
        if (module == nullptr) PyErr_Print();
        ASSERT_NE(module, nullptr);
    }

    // Evaluates `expr` with numpy as np, as_strided and `names` at hand.
    static frame::Ref eval(const char* expr,
                           std::initializer_list<std::pair<const char*, PyObject*>> names = {})
    {
        frame::Ref globals(PyDict_New());
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
        for (const auto& [name, value] : names) PyDict_SetItemString(globals.get(), name, value);
        frame::Ref setup(PyRun_String("import numpy as np\n"
                                      "from numpy.lib.stride_tricks import as_strided\n",
                                      Py_file_input, globals.get(), globals.get()));
        frame::Ref value(PyRun_String(expr, Py_eval_input, globals.get(), globals.get()));
        if (!value) PyErr_Print();
        return value;
    }

    // The message of the pending error, which is cleared.
    static std::string take_error()
    {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        frame::Ref t(type), v(value), tb(traceback);
        if (!v) return "(no error)";
        frame::Ref text(PyObject_Str(v.get()));
        return PyUnicode_AsUTF8(text.get());
    }

    static PyArrayObject* arr(const frame::Ref& r) { return frame::array(r.get()); }

    static std::string bytes_of(const frame::Ref& r)
    {
        return std::string(static_cast<char*>(PyArray_DATA(arr(r))),
                           static_cast<std::size_t>(PyArray_NBYTES(arr(r))));
    }

    // Opens a session on `a`, stores a vector of `value` through it and
    // commits; false (error cleared) when `a` is refused.
    static bool store_into(const frame::Ref& a, float value)
    {
        OrgaSession session(arr(a));
        if (!session) return take_error(), false;
        float v[4] = {value, value, value, value};
        if (orga_insert(session.header(), v, 4, 4, 1) == nullptr) return false;
        session.commit();
        return true;
    }

    // Whether a session opens on `a` (error cleared).
    static bool opens(const frame::Ref& a)
    {
        OrgaSession session(arr(a));
        if (!session) return take_error(), false;
        return true;
    }
};

TEST_F(OrgaOpen, FreshArrayBySize)
{
    frame::Ref small = eval("np.zeros(8044, np.uint8)");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(OrgaSession(arr(small)));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cellcoef:450: Assertion `unsigned(og->strides[0]*og->dimensions[0]) > sizeof(*o)' "
              "failed.\n");
    EXPECT_EQ(take_error(), "unsigned(og->strides[0]*og->dimensions[0]) > sizeof(*o)");
    EXPECT_EQ(*static_cast<std::uint32_t*>(PyArray_DATA(arr(small))), 0u);

    frame::Ref big = eval("np.full(8045, 7, np.uint8)");
    {
        OrgaSession session(arr(big));
        ASSERT_EQ(static_cast<void*>(session.header()), PyArray_DATA(arr(big)));
        EXPECT_EQ(session.header()->magic, ORGA_MAGIC);
        EXPECT_EQ(session.header()->ring_len[ORGA_RING - 1], 0);
        EXPECT_EQ(static_cast<unsigned char*>(PyArray_DATA(arr(big)))[8044], 7);
    }
    // Opened again, the header in use is kept.
    ASSERT_TRUE(store_into(big, 1.0f));
    ASSERT_TRUE(store_into(big, 2.0f));
    EXPECT_EQ(static_cast<OrgaHeader*>(PyArray_DATA(arr(big)))->inserts, 2);
}

TEST_F(OrgaOpen, UncommittedChangesArePutBack)
{
    frame::Ref og = eval("np.zeros(2100, np.int32)");
    ASSERT_TRUE(store_into(og, 1.0f));
    const std::string before = bytes_of(og);
    {
        OrgaSession session(arr(og));
        ASSERT_TRUE(session);
        float v[4] = {1, 1, 1, 1}, w[4] = {2, 2, 2, 2};
        ASSERT_NE(orga_insert(session.header(), v, 4, 4, 1), nullptr);
        ASSERT_NE(orga_insert(session.header(), w, 4, 4, 1), nullptr);
    }
    EXPECT_EQ(bytes_of(og), before);
    ASSERT_TRUE(store_into(og, 2.0f)) << "the store goes on from where it was";
    EXPECT_EQ(static_cast<OrgaHeader*>(PyArray_DATA(arr(og)))->inserts, 2);
}

// Views of a store's array reach the store; a copy, or the bytes at another
// address, do not.
TEST_F(OrgaOpen, ViewsReachTheStoreCopiesDoNot)
{
    frame::Ref og = eval("np.zeros(2100, np.int32)");
    ASSERT_TRUE(store_into(og, 1.0f));
    for (const char* view : {"og[:]", "og.view(np.uint8)", "og.reshape(2, 1050)",
                             "np.frombuffer(og, np.int32)"})
        EXPECT_TRUE(opens(eval(view, {{"og", og.get()}}))) << view;
    for (const char* other : {"og.copy()", "np.concatenate([og[:1], og])[1:]"}) {
        frame::Ref a = eval(other, {{"og", og.get()}});
        const std::string before = bytes_of(a);
        EXPECT_FALSE(opens(a)) << other;
        EXPECT_EQ(bytes_of(a), before) << other;
    }
}

// A new header written over part of a store's header ends that store.
TEST_F(OrgaOpen, HeaderOverlappingAStoreEndsIt)
{
    frame::Ref buffer = eval("np.zeros(4200, np.int32)");
    frame::Ref old_store = eval("b[:2100]", {{"b", buffer.get()}});
    frame::Ref new_store = eval("b[1:2101]", {{"b", buffer.get()}});  // starts at the reserved word
    ASSERT_TRUE(store_into(old_store, 1.0f));
    ASSERT_TRUE(store_into(new_store, 2.0f));
    EXPECT_FALSE(opens(old_store));
    EXPECT_TRUE(opens(new_store));
}

// The store is known while the array owning its memory lives. Memory that
// outlives that array, or is reused, is no store any more, whatever it holds;
// zeros there start a new one.
TEST_F(OrgaOpen, StoreEndsWithTheArrayOwningItsMemory)
{
    alignas(16) static unsigned char memory[9000];
    std::memset(memory, 0, sizeof(memory));
    npy_intp size = sizeof(memory);
    auto wrap = [&] {
        return frame::Ref(PyArray_SimpleNewFromData(1, &size, NPY_UINT8, memory));
    };
    frame::Ref first = wrap();
    ASSERT_TRUE(store_into(first, 1.0f));
    frame::Ref second = wrap();  // owns nothing, and does not know `first`
    EXPECT_TRUE(opens(second));

    first.reset();
    const std::string before = bytes_of(second);
    EXPECT_FALSE(opens(second));
    EXPECT_EQ(bytes_of(second), before);

    std::memset(memory, 0, sizeof(memory));
    EXPECT_TRUE(store_into(second, 1.0f));
    EXPECT_EQ(reinterpret_cast<OrgaHeader*>(memory)->inserts, 1);
}

TEST_F(OrgaOpen, RefusalsNameOg)
{
    struct Case { const char* array; const char* message; };
    const Case cases[] = {
        {"np.zeros(5000, np.int32)[::2]", "Array not contiguous: og"},
        {"np.zeros(8100, np.uint8)[1:]", "Array not aligned: og"},
        {"as_strided(np.zeros(9000), writeable=False)",
         "Array not writeable: og"},
        // The first axis states 100000 bytes, the array holds 8000.
        {"as_strided(np.zeros(8000, np.uint8), shape=(1, 8000), strides=(100000, 1))",
         "Array too small: og"},
        {"np.array([0x12349876] + [0] * 2011, np.uint32)[:2011]", "Array too small: og"},
        // A header this process never wrote: another process's, or forged.
        {"np.array([0x12349876] + [0] * 10 + [4096] + [0] * 999 + [6] + [0] * 1000, np.uint32)",
         "Invalid store header: og"},
    };
    for (const Case& c : cases) {
        frame::Ref a = eval(c.array);
        ASSERT_TRUE(a) << c.array;
        ASSERT_TRUE(frame::is_array(a.get())) << c.array;
        const std::string before = bytes_of(a);
        EXPECT_FALSE(OrgaSession(arr(a))) << c.array;
        EXPECT_EQ(take_error(), c.message) << c.array;
        EXPECT_EQ(bytes_of(a), before) << c.array << ": changed on refusal";
    }
}

}  // namespace

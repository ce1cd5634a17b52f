// orga_open on real ndarrays, in the build's interpreter.
#include "frame.hpp"
#include "hold.hpp"
#include "orga.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

    // Evaluates `expr` with numpy as np and as_strided at hand.
    static frame::Ref eval(const char* expr)
    {
        frame::Ref globals(PyDict_New());
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
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
};

TEST_F(OrgaOpen, FreshArrayBySize)
{
    frame::Ref small = eval("np.zeros(8044, np.uint8)");
    testing::internal::CaptureStderr();
    EXPECT_EQ(orga_open(arr(small)), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cellcoef:450: Assertion `unsigned(og->strides[0]*og->dimensions[0]) > sizeof(*o)' "
              "failed.\n");
    EXPECT_EQ(take_error(), "unsigned(og->strides[0]*og->dimensions[0]) > sizeof(*o)");
    EXPECT_EQ(*static_cast<std::uint32_t*>(PyArray_DATA(arr(small))), 0u);

    frame::Ref big = eval("np.full(8045, 7, np.uint8)");
    OrgaHeader* o = orga_open(arr(big));
    ASSERT_EQ(static_cast<void*>(o), PyArray_DATA(arr(big)));
    EXPECT_EQ(o->magic, ORGA_MAGIC);
    EXPECT_EQ(o->ring_len[ORGA_RING - 1], 0);
    EXPECT_EQ(static_cast<unsigned char*>(PyArray_DATA(arr(big)))[8044], 7);

    // Opened again, the header in use is kept.
    o->hits = 3;
    EXPECT_EQ(orga_open(arr(big)), o);
    EXPECT_EQ(o->hits, 3);
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
        // A header written in another process: the ring points nowhere here.
        {"np.array([0x12349876] + [0] * 10 + [4096] + [0] * 999 + [6] + [0] * 1000, np.uint32)",
         "Invalid store header: og"},
    };
    for (const Case& c : cases) {
        frame::Ref a = eval(c.array);
        ASSERT_TRUE(a) << c.array;
        ASSERT_TRUE(frame::is_array(a.get())) << c.array;
        const std::string before(static_cast<char*>(PyArray_DATA(arr(a))),
                                 static_cast<std::size_t>(PyArray_NBYTES(arr(a))));
        EXPECT_EQ(orga_open(arr(a)), nullptr) << c.array;
        EXPECT_EQ(take_error(), c.message) << c.array;
        EXPECT_EQ(before, std::string(static_cast<char*>(PyArray_DATA(arr(a))), before.size()))
            << c.array << ": changed on refusal";
    }
}

}  // namespace

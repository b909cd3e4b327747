// Objects in cells on the slot path, against a real embedded Python 3.12:
// a result with no cell value goes to tindral_xl.objects and comes back as
// the object when its handle is an argument; the references that cross the
// C side stay balanced (the asan build watches) and the close lets go.
#include "func_test_support.h"

namespace {

using fts::bind;
using fts::py_holds;
using fts::start;

LPXLOPER12 call(int slot, LPXLOPER12 a0 = nullptr, LPXLOPER12 a1 = nullptr) {
    return func_registry_slot_entries[slot](a0, a1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr);
}

// A value result must not pay for the store (not even its import); an object
// result must come back as a handle whose argument is the very object; a
// refused class and a gone handle must each show their error and log why; and
// the close must release what the store holds.
TEST(func_objects, handle_round_trip_refusals_and_release_at_close) {
    auto s = start();
    ASSERT_TRUE(s.ok);
    fts::py_run("import sys, weakref\n"
                "class Model:\n    def __init__(self, v):\n        self.v = v\n"
                "made = []\n"
                "def make(v):\n    m = Model(v)\n    made.append(weakref.ref(m))\n    return m\n"
                "def use(m: Model, x):\n    return m.v * x\n"
                "def plain(x):\n    return x + 1\n");
    bind(0, "make", 1);
    bind(1, "use", 2);
    bind(2, "plain", 1);
    XLOPER12 two = fts::num_arg(2), three = fts::num_arg(3);

    LPXLOPER12 r = call(2, &two);
    ASSERT_EQ(r->xltype, xltypeNum);
    EXPECT_TRUE(py_holds("'tindral_xl.objects' not in sys.modules")) << "a value result imported the store";

    r = call(0, &two);
    std::u16string handle = fts::text_of(r);
    ASSERT_EQ(handle.substr(0, 8), u"<Model #") << "xltype " << r->xltype;
    xlAutoFree12(r);

    fts::text_arg model(handle);
    r = call(1, &model.oper, &three);
    ASSERT_EQ(r->xltype, xltypeNum);
    EXPECT_EQ(r->val.num, 6.0);

    fts::py_run("import tindral_xl.objects\nother = tindral_xl.objects.put({'k': 1})");
    PyObject *other = fts::py_main("other");
    fts::text_arg wrong(fts::u16(fts::utf8_of(other).c_str()));
    pyapi.Py_DecRef(other);
    r = call(1, &wrong.oper, &three);
    EXPECT_EQ(r->xltype, xltypeErr);
    EXPECT_EQ(r->val.err, xlerrValue);
    EXPECT_TRUE(fts::logged("objects: use argument 1: <dict #2> is not a Model")) << fts::log_text();

    fts::text_arg gone(u"<Model #77>");
    r = call(1, &gone.oper, &three);
    EXPECT_EQ(r->xltype, xltypeErr);
    EXPECT_EQ(r->val.err, xlerrRef);
    EXPECT_TRUE(fts::logged("objects: use argument 1: <Model #77> is gone (its cell computed again, or it was deleted)"))
        << fts::log_text();
    EXPECT_EQ(pyapi.PyErr_Occurred(), nullptr);

    EXPECT_TRUE(py_holds("made[0]() is not None"));
    func_registry_release_objects();
    EXPECT_TRUE(py_holds("made[0]() is None and tindral_xl.objects.list() == []"));
    EXPECT_TRUE(fts::logged("func_registry: 2 object(s) released at close")) << fts::log_text();
}

}  // namespace

#include "names.hpp"

namespace insight_board {

Names S;
Constants C;

void init_constants() {
    // Constants live for the process, made once. Marked done only at the end:
    // a set-up that failed part-way (out of memory) makes them all on the next
    // import instead of leaving the later ones unset.
    static bool done = false;
    if (done) return;
    Names& names = S;
    BOARD_NAMES(QALVO_INTERN_NAME, QALVO_INTERN_NAME_S)

    using qalvo::own;
#define BOARD_MAKE_TEXT(id, text) C.id = ::qalvo::intern(text);
#define BOARD_MAKE_KEYWORDS(id, ...) C.id = ::qalvo::kwnames(__VA_ARGS__);
    BOARD_TEXTS(BOARD_MAKE_TEXT)
    BOARD_KEYWORDS(BOARD_MAKE_KEYWORDS)
#undef BOARD_MAKE_TEXT
#undef BOARD_MAKE_KEYWORDS

    C.int_0 = own(PyLong_FromLong(0)).release();
    C.int_1 = own(PyLong_FromLong(1)).release();
    C.int_2 = own(PyLong_FromLong(2)).release();
    C.int_3 = own(PyLong_FromLong(3)).release();
    C.int_12 = own(PyLong_FromLong(12)).release();
    C.int_15 = own(PyLong_FromLong(15)).release();
    C.tiny_effect = own(PyFloat_FromDouble(1e-6)).release();
    qalvo::Ref eight = own(PyLong_FromLong(8));
    qalvo::Ref six = own(PyLong_FromLong(6));
    C.figsize = qalvo::tuple(eight, six).release();
    C.default_none = qalvo::tuple(Py_None).release();
    qalvo::Ref minus_one = own(PyLong_FromLong(-1));
    C.reversed = own(PySlice_New(nullptr, nullptr, minus_one)).release();
    C.default_feature_lis = own(PyList_New(0)).release();
    done = true;
}

}  // namespace insight_board

"""The object store without Excel: numbering, what a cell's next object
releases, how a handle text is matched, how a parameter's class annotation
is read, and that an object's finalizer may use the store."""

import functools
import os
import sys
import threading
import typing
import weakref

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))

import tindral_xl  # noqa: E402
from tindral_xl import objects  # noqa: E402


@pytest.fixture(autouse=True)
def empty_store():
    objects._release_all()
    yield
    objects._release_all()


class Model:
    pass


class Sub(Model):
    pass


# A cell's new object must replace its old one (and only that one), numbers
# never come back (a dependent cell must see its precedent's text change),
# and the per-function count the add-in gates its xlfCaller asks on must
# follow releases made by either path.
def test_a_cells_next_object_releases_its_last_and_takes_a_new_number():
    objects._next[0] = 1
    a = Model()
    gone = weakref.ref(a)
    first, held = objects._put_from_cell(a, "[Book1]Sheet1!$A$1", "FIT")
    del a
    assert (first, held) == ("<Model #1>", 1)
    other, held = objects._put_from_cell(Model(), "[Book1]Sheet1!$A$2", "FIT")
    assert held == 2
    second, held = objects._put_from_cell(Model(), "[Book1]Sheet1!$A$1", "FIT")
    assert (second, held) == ("<Model #3>", 2)
    assert gone() is None
    with pytest.raises(KeyError):
        objects.get(first)
    assert objects._release_cell("[Book1]Sheet1!$A$2", "FIT") == 1
    assert objects._release_cell("[Book1]Sheet1!$A$9", "FIT") == 1
    assert [o["handle"] for o in objects.list()] == [second]
    assert objects._put_from_cell(Model(), None, "FIT") == ("<Model #4>", 1), "no cell: owned by none"
    assert objects._release_all() == 2
    assert objects._put_from_cell(Model(), None, "FIT")[0] == "<Model #5>"


# A handle of an earlier session (or a typed text) that shares a live
# object's number but not its type must not reach that object.
def test_only_the_whole_handle_text_names_an_object():
    handle = objects.put({"k": 1})
    n = objects._handle_number(handle)
    assert handle == "<dict #%d>" % n
    assert objects.get(handle) == {"k": 1}
    for text in ("<Model #%d>", "<dict #0%d>", "<dict #%d> ", "<dict#%d>", "dict #%d", "<dict #%dx>"):
        text = text % n
        with pytest.raises(KeyError):
            objects.get(text)
        with pytest.raises(objects._Gone, match="F argument 1: .* is gone"):
            objects._argument(text, lambda x: x, 0, "F")
    assert objects.delete(handle) is True
    assert objects.delete(handle) is False


def plain(m: Model, x: float, y, z: "Model", w: typing.Optional[Model], v: "Model | None" = None,
          u: Model | None = None, t: object = None):
    return m


# The class check must follow the add-in's own wrappers to the user's
# annotations, accept subclasses and Optional forms, and leave alone what
# names no class (no annotation, a text, object).
def test_parameter_classes_come_from_the_users_annotations():
    assert objects._parameter_classes(plain, 0) == (Model,)
    assert objects._parameter_classes(plain, 1) == (float,)
    assert [objects._parameter_classes(plain, i) for i in (2, 3, 5, 7, 8)] == [None] * 5
    assert objects._parameter_classes(plain, 4) == (Model,)
    assert objects._parameter_classes(plain, 6) == (Model,)

    @functools.wraps(plain)
    def wrapped(*args):
        return plain(*args)

    assert objects._parameter_classes(wrapped, 0) == (Model,)
    entry = tindral_xl.register(plain, name="PLAIN_OBJECTS_TEST", returns="object")
    try:
        bound = [e[1] for e in tindral_xl._registry if e[0] == "PLAIN_OBJECTS_TEST"][0]
        assert objects._parameter_classes(bound, 0) == (Model,)
        assert type(bound(1, 2, 3, 4, 5)) is objects._Whole, "returns=object keeps the result whole"
    finally:
        tindral_xl._registry[:] = [e for e in tindral_xl._registry if e[0] != "PLAIN_OBJECTS_TEST"]
    assert entry is plain

    handle = objects.put(Sub())
    assert type(objects._argument(handle, plain, 0, "PLAIN")) is Sub
    with pytest.raises(objects._WrongType, match="PLAIN argument 2: <Sub #[0-9]+> is not a float"):
        objects._argument(handle, plain, 1, "PLAIN")
    assert type(objects._argument(handle, plain, 2, "PLAIN")) is Sub
    with pytest.raises(ValueError):
        tindral_xl.register(plain, name="X", returns="objects")


class Reentrant:
    """Lists the store from its finalizer, as a user's cleanup might."""

    seen = []

    def __del__(self):
        Reentrant.seen.append(len(objects.list()))


# An object let go while the store's lock is held deadlocks the add-in (and
# Excel with it) when its finalizer uses the store.
def test_a_finalizer_that_uses_the_store_does_not_deadlock():
    def work():
        objects._put_from_cell(Reentrant(), "C1", "F")
        objects._put_from_cell(Reentrant(), "C1", "F")   # releases the first
        objects._release_cell("C1", "F")                 # releases the second
        objects.delete(objects.put(Reentrant()))
        objects.put(Reentrant())
        objects._release_all()

    t = threading.Thread(target=work, daemon=True)
    t.start()
    t.join(10)
    assert not t.is_alive(), "the store deadlocked in a finalizer"
    assert Reentrant.seen == [1, 0, 0, 0]


class LoudRepr:
    def __repr__(self):
        return "x" * 5000


class BadRepr:
    def __repr__(self):
        raise RuntimeError("no")


# A listing must stay short whatever an object's repr does.
def test_listing_cuts_the_repr_and_survives_one_that_raises():
    objects.put(LoudRepr())
    objects.put(BadRepr())
    loud, bad = objects.list()
    assert len(loud["repr"]) == 200 and loud["cell"] is None
    assert loud["type"].endswith("LoudRepr")
    assert bad["repr"].startswith("<BadRepr instance at ")
    detail = objects.inspect(loud["handle"])
    assert len(detail["repr"]) == 2000 and detail["attributes"] == []

"""How the module takes and gives arrays: refusals, copies, zero-copy, ownership and memory."""

import gc
import sys

import numpy as np
import pytest

import tamsa
from conftest import picture


@pytest.mark.parametrize("bad", [
    np.zeros((4, 4, 3), np.int16),
    np.zeros((4, 4, 3), np.float32),
    np.zeros((4, 4, 4), np.uint8),
    np.zeros((4, 4, 1), np.uint8),
    np.zeros(12, np.uint8),
    np.zeros((1, 4, 4, 3), np.uint8),
    [[1, 2], [3, 4]],
    None,
])
def test_pictures_of_wrong_type_or_shape_are_refused(bad):
    for call in (lambda: tamsa.scale(bad, 2, 2), lambda: tamsa.transpose(bad),
                 lambda: tamsa.correct(bad), lambda: tamsa.draw_box(bad, 0, 0, 1, 1, 0)):
        with pytest.raises(ValueError):
            call()


def test_read_only_arrays_are_not_written(rng):
    image = picture(rng, 4, 5)
    image.flags.writeable = False
    for call in (lambda: tamsa.correct(image, 50), lambda: tamsa.deinterlace(image),
                 lambda: tamsa.smooth(image), lambda: tamsa.xor(image, 1),
                 lambda: tamsa.blit(image, image)):
        with pytest.raises(ValueError):
            call()
    # Reading them is fine.
    assert tamsa.transpose(image).shape == (5, 4, 3)


def test_in_place_operations_write_into_the_argument(rng):
    image = picture(rng, 6, 8)
    address = image.ctypes.data
    tamsa.correct(image, 50)
    tamsa.draw_box(image, 0, 0, 3, 3, (1, 2, 3))
    assert image.ctypes.data == address and (image[:4, :4] == [1, 2, 3]).all()
    out = np.zeros((3, 4, 3), np.uint8)
    for result in (tamsa.scale(image, 4, 3, out=out),
                   tamsa.fade(out, out, 3, out=out)):
        assert result is out and np.shares_memory(result, out)


def test_new_results_own_the_library_buffer(rng):
    image = picture(rng, 6, 8)
    for result in (tamsa.scale(image, 5, 5), tamsa.transpose(image), tamsa.rotate(image, 10.0),
                   tamsa.cut(image, 1, 1, 3, 3), tamsa.dither(image)):
        assert not np.shares_memory(result, image)
        assert result.flags.c_contiguous and result.flags.writeable
        # The array is a view over the library's buffer, which lives as long as it does.
        assert result.base is not None and not result.flags.owndata


def test_non_contiguous_arrays_are_copied_once_and_written_back(rng):
    big = picture(rng, 8, 12)
    view = big[::2, 1::2]
    assert not view.flags.c_contiguous
    assert np.array_equal(tamsa.transpose(view), tamsa.transpose(view.copy()))
    assert np.array_equal(tamsa.scale(view, 7, 3), tamsa.scale(view.copy(), 7, 3))
    expected = view.copy()
    tamsa.correct(expected, 30, 10)
    before = big.copy()
    tamsa.correct(view, 30, 10)
    assert np.array_equal(big[::2, 1::2], expected)
    # Only the view's pixels changed.
    big[::2, 1::2] = before[::2, 1::2]
    assert np.array_equal(big, before)


def test_memory_and_reference_counts_stay_steady(rng):
    image = picture(rng, 16, 24)
    grey = picture(rng, 16, 24, 1)
    out = np.zeros((8, 12, 3), np.uint8)

    def calls():
        tamsa.scale(image, 12, 8)
        tamsa.scale(image, 12, 8, out=out)
        tamsa.rotate(image, 33.0)
        tamsa.transpose(image)
        tamsa.shear(image, 0, 15, 0, 4)
        tamsa.dither(grey, "bayer16")
        tamsa.cut(grey, -2, -2, 5, 5)
        tamsa.correct(out, 90)
        tamsa.blit(image, out, 3, 3, transparency=20)
        tamsa.smooth(out)
        with pytest.raises(ValueError):
            tamsa.scale(grey[None], 2, 2)

    calls()
    gc.collect()
    counts = [sys.getrefcount(a) for a in (image, grey, out)]
    live = tamsa.alloc_stats()
    for _ in range(10_000):
        calls()
    gc.collect()
    assert [sys.getrefcount(a) for a in (image, grey, out)] == counts
    assert tamsa.alloc_stats() == live


def test_memory_error_when_the_library_cannot_allocate(rng):
    image = picture(rng, 4, 4)
    with tamsa.Server("pytest-arrays-memory"), \
            tamsa.Client("pytest-arrays-memory", local=True) as client:
        # Blocks of the bus held untouched until no room is left.
        held = []
        try:
            for size in (1 << 28, 1 << 20, 1 << 12, 1 << 6, 1):
                with pytest.raises(MemoryError):
                    while True:
                        held.append(client.alloc(size))
            live = tamsa.alloc_stats()
            for call in (lambda: tamsa.scale(image, 300, 300), lambda: tamsa.transpose(image),
                         lambda: tamsa.rotate(image, 45.0), lambda: tamsa.dither(image)):
                with pytest.raises(MemoryError):
                    call()
                assert tamsa.alloc_stats() == live
        finally:
            for address in held:
                client.free(address)
        assert tamsa.scale(image, 300, 300).shape == (300, 300, 3)


def test_the_stub_names_what_the_module_has():
    import ast
    import os
    stub = os.path.join(os.path.dirname(tamsa.__file__), "tamsa.pyi")
    tree = ast.parse(open(stub).read())
    declared, members = set(), {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            declared.add(node.name)
        elif isinstance(node, ast.Assign) and isinstance(node.value, ast.Name):
            # Another name of a function: the same object.
            for target in node.targets:
                declared.add(target.id)
                assert getattr(tamsa, target.id) is getattr(tamsa, node.value.id), target.id
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
        elif isinstance(node, ast.ClassDef):
            declared.add(node.name)
            members[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
    public = {name for name in dir(tamsa) if not name.startswith("_")} | {"__version__"}
    assert declared == public
    for name, names in members.items():
        assert names == {n for n in dir(getattr(tamsa, name))
                         if not n.startswith("_") or n in ("__init__", "__enter__", "__exit__")}


def parameters(node):
    """Names and defaults (as values) of a function's parameters, self left out."""
    import ast
    args = node.args
    positional = [a.arg for a in args.posonlyargs + args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    out = [(n, ast.literal_eval(d) if d is not None else "required")
           for n, d in zip(positional, defaults) if n != "self"]
    if args.vararg:
        out.append(("*" + args.vararg.arg, "required"))
    for a, d in zip(args.kwonlyargs, args.kw_defaults):
        out.append((a.arg, ast.literal_eval(d) if d is not None else "required"))
    return out


def test_the_stub_gives_each_function_its_parameters_and_defaults():
    import ast
    import os
    stub = ast.parse(open(os.path.join(os.path.dirname(tamsa.__file__), "tamsa.pyi")).read())
    functions = [(n, getattr(tamsa, n.name)) for n in stub.body if isinstance(n, ast.FunctionDef)]
    for c in (n for n in stub.body if isinstance(n, ast.ClassDef)):
        functions += [(n, getattr(getattr(tamsa, c.name), n.name)) for n in c.body
                      if isinstance(n, ast.FunctionDef) and not isinstance(
                          getattr(getattr(tamsa, c.name), n.name), property)]
    checked = 0
    for node, function in functions:
        first = function.__doc__.splitlines()[0]
        if not first.startswith(node.name + "("):
            continue  # a slot wrapper (an object's own __exit__ and the like)
        # The module's signature as help() shows it, read as a definition.
        bound = ast.parse("def " + first + ": ...").body[0]
        if parameters(bound) == [("*args", "required")]:
            continue  # takes whatever the stub names (__exit__)
        assert parameters(node) == parameters(bound), node.name
        checked += 1
    assert checked > 50


def test_help_shows_array_arguments_as_ndarrays():
    for name in dir(tamsa):
        function = getattr(tamsa, name)
        if callable(function) and function.__doc__:
            assert "handle" not in function.__doc__.splitlines()[0], name
    assert tamsa.scale.__doc__.startswith(
        "scale(image: numpy.ndarray, width: int, height: int, out: numpy.ndarray | None = None)")


@pytest.mark.parametrize("call,words", [
    (lambda i: tamsa.scale(i, 320.0, 240), "'width' must be int, not float"),
    (lambda i: tamsa.cut(i, 0, 0, "1", 1), "'x2' must be int, not str"),
    (lambda i: tamsa.rotate(i, "30"), "'angle' must be float, not str"),
    (lambda i: tamsa.cut(i, 2**40, 0, 1, 1), "'x1' is out of range"),
    (lambda i: tamsa.save("x.png", i, format=3), "'format' must be Optional[str], not int"),
])
def test_a_wrong_type_names_the_argument_and_not_the_array(call, words):
    image = np.zeros((1080, 1920, 3), np.uint8)
    with pytest.raises(TypeError) as caught:
        call(image)
    message = str(caught.value)
    assert words in message
    assert "array(" not in message and len(message) < 200


def test_sizes_of_zero_are_refused_as_the_command_does(rng):
    image = picture(rng, 4, 4)
    for call in (lambda: tamsa.scale(image, 0, 3), lambda: tamsa.scale(image, 3, 0),
                 lambda: tamsa.scale_frame(image, 0, 2),
                 lambda: tamsa.yuv_scale(image[:, :, 0], image[:2, :2, 0], image[:2, :2, 0], 2, 0)):
        with pytest.raises(ValueError, match="at least 1"):
            call()

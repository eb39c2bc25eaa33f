"""FastTensorDataLoader: batches as row slices, one shared permutation per
shuffled pass, and its failure cases."""

import re

import pytest
torch = pytest.importorskip("torch")

from qalvo.models.rampnet.rampnet import FastTensorDataLoader


def rows(n, width=1):
    return torch.arange(n * width, dtype=torch.double).reshape(n, width)


@pytest.mark.parametrize("n, batch_size, sizes", [
    (10, 4, [4, 4, 2]),
    (8, 4, [4, 4]),
    (5, 32, [5]),
    (0, 3, []),
])
def test_batches_cover_the_rows_in_order(n, batch_size, sizes):
    x = rows(n, 2)
    loader = FastTensorDataLoader(x, batch_size=batch_size)
    assert len(loader) == len(sizes)
    batches = list(loader)
    assert [b[0].shape[0] for b in batches] == sizes
    assert all(isinstance(b, tuple) and len(b) == 1 for b in batches)
    if sizes:
        assert torch.equal(torch.cat([b[0] for b in batches]), x)
    with pytest.raises(StopIteration):
        next(loader)


def test_batches_are_views_of_the_stored_tensors():
    x = rows(10)
    batch, = next(iter(FastTensorDataLoader(x, batch_size=4)))
    batch[0, 0] = -1.0
    assert x[0, 0] == -1.0


def test_without_shuffle_passes_repeat_and_keep_the_stored_tuple():
    x, y = rows(6, 2), rows(6)
    loader = FastTensorDataLoader(x, y, batch_size=4)
    stored = loader.tensors
    assert type(stored) is tuple and stored[0] is x and stored[1] is y
    first = [tuple(t.clone() for t in b) for b in loader]
    second = list(loader)
    assert loader.tensors is stored
    assert all(torch.equal(a, b) for p, q in zip(first, second) for a, b in zip(p, q))


def test_shuffle_keeps_rows_paired_and_leaves_the_callers_tensors_alone():
    x, y = rows(50, 3), rows(50) * 10
    x_before, y_before = x.clone(), y.clone()
    torch.manual_seed(1)
    loader = FastTensorDataLoader(x, y, batch_size=7, shuffle=True)
    seen = []
    for bx, by in loader:
        assert torch.equal(bx[:, 0] * 10, by[:, 0] * 3)  # row k of x pairs row k of y
        seen.append(bx[:, 0])
    order = torch.cat(seen)
    assert not torch.equal(order, x[:, 0])
    assert sorted(order.tolist()) == x[:, 0].tolist()
    assert type(loader.tensors) is list and torch.equal(loader.tensors[0][:, 0], order)
    assert torch.equal(x, x_before) and torch.equal(y, y_before)


def test_shuffle_draws_one_permutation_per_pass_from_the_global_generator():
    x = rows(20)
    torch.manual_seed(3)
    loader = FastTensorDataLoader(x, batch_size=20, shuffle=True)
    first = next(iter(loader))[0][:, 0]
    second = next(iter(loader))[0][:, 0]
    torch.manual_seed(3)
    r1 = torch.randperm(20)
    r2 = torch.randperm(20)
    assert torch.equal(first, x[r1, 0])
    assert torch.equal(second, x[r1][r2, 0])  # permutations compound


def test_a_new_iter_restarts_at_row_zero():
    loader = FastTensorDataLoader(rows(10), batch_size=4)
    it = iter(loader)
    next(it), next(it)
    assert loader.i == 8
    assert next(iter(loader))[0][0, 0] == 0.0
    assert loader.i == 4


def test_attributes_after_construction():
    x = rows(10)
    loader = FastTensorDataLoader(x, batch_size=3, shuffle=1)
    assert (loader.dataset_len, loader.batch_size, loader.shuffle, loader.n_batches) == (10, 3, 1, 4)
    assert not hasattr(loader, "i")


def test_next_before_iter_is_an_attribute_error_for_the_cursor():
    loader = FastTensorDataLoader(rows(3))
    with pytest.raises(AttributeError, match="'i'"):
        next(loader)


def test_tensors_of_different_lengths_fail_the_assertion():
    with pytest.raises(AssertionError) as info:
        FastTensorDataLoader(rows(5), rows(6))
    assert str(info.value) == ""


def test_optimised_mode_skips_the_length_check(run_python):
    code = """
        import torch
        from qalvo.models.rampnet.rampnet import FastTensorDataLoader
        loader = FastTensorDataLoader(torch.zeros(5), torch.zeros(6), batch_size=2)
        print(len(loader))
    """
    result = run_python(code, "-O")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "3"


@pytest.mark.parametrize("make, error, message", [
    (lambda: FastTensorDataLoader(), IndexError, "tuple index out of range"),
    (lambda: FastTensorDataLoader(rows(4), batch_size=0), ZeroDivisionError, None),
    (lambda: FastTensorDataLoader(rows(4), bs=2), TypeError,
     "__init__() got an unexpected keyword argument 'bs'"),
    (lambda: FastTensorDataLoader(rows(4), batch_size=-2), ValueError,
     "batch_size must be a positive integer, got -2"),
])
def test_bad_construction(make, error, message):
    with pytest.raises(error, match=None if message is None else re.escape(message)):
        make()


def test_batch_size_cannot_be_passed_positionally():
    x, extra = rows(4), torch.zeros(4)
    loader = FastTensorDataLoader(x, extra)
    assert loader.batch_size == 32 and len(loader.tensors) == 2

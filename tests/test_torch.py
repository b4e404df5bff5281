"""The dataset with PyTorch: DataLoader workers under fork and spawn (fresh crops per worker and
epoch, the same again with the same seeds, the values of Catalog.load), channels first into a
real convolution, complex tensors, batched fetches, reading per batch, tensors through the
transforms and the worked example. Skipped where torch cannot be imported."""

import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

from conftest import REPO, distinct, run_python
from vantrel import MSTAR, scan
from vantrel.transforms import CenterCrop, Compose, Normalize, RandomCrop, RandomFlip, ToDecibels

torch = pytest.importorskip("torch")
DataLoader = torch.utils.data.DataLoader


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """The SOC test subset of two classes, 6 chips each, copies of real chips."""
    root = tmp_path_factory.mktemp("soc")
    for n in range(6):
        for serial, source in (("b01", "HB14931.000"), ("A51", "HB14931.026")):
            path = root / serial / f"HB{n:05d}.000"
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(distinct(source, path, TargetSerNum=serial, DesiredDepression="15"))
    return root


@pytest.fixture(scope="module")
def split(tree):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # 8 of 10 classes missing, counts unlike the tables
        return scan(tree).split("soc", "test")


def places(batches, full, crop):
    """(index, top, left) of each cropped item, found in the full windows; labels checked."""
    found = []
    for indices, (x, y) in batches:
        assert y.tolist() == [int(full.targets[i]) for i in indices]
        for i, item in zip(indices, x.numpy()):
            windows = np.lib.stride_tricks.sliding_window_view(full.data[i], (crop, crop))
            hits = np.argwhere((windows == item).all(axis=(2, 3)))
            assert len(hits) >= 1  # the values of the load, bit for bit
            found.append((i, *hits[0].tolist()))
    return found


@pytest.mark.parametrize("context, seed, in_memory, seeding", [
    ("fork", 0, False, "manual_seed"), ("spawn", None, True, "generator")])
def test_workers_draw_fresh_crops_per_worker_and_epoch_and_repeat_with_the_same_seeds(split, context, seed,
                                                                                       in_memory, seeding):
    full = MSTAR(split, size=40)
    data = MSTAR(split, size=40, transform=RandomCrop(24, seed=seed), in_memory=in_memory)

    def run():
        torch.manual_seed(7)
        generator = torch.Generator().manual_seed(11) if seeding == "generator" else None
        loader = DataLoader(data, batch_size=3, num_workers=2, multiprocessing_context=context, generator=generator)
        order = [list(range(start, start + 3)) for start in range(0, len(data), 3)]
        return [places(zip(order, loader), full, 24) for _ in range(2)]  # two epochs

    first, second = run(), run()
    assert first == second  # the same seeds, the same crops
    assert first[0] != first[1]  # another epoch, other crops
    worker_0, worker_1 = first[0][:3], first[0][3:6]  # batch k comes from worker k % 2
    assert [place[1:] for place in worker_0] != [place[1:] for place in worker_1]


@pytest.mark.parametrize("ofmt, channels", [("a", 1), ("ap", 2)])
def test_channels_first_batches_feed_a_convolution(split, ofmt, channels):
    data = MSTAR(split, size=40, ofmt=ofmt, channels_first=True, transform=CenterCrop(32, channels_first=True))
    x, y = next(iter(DataLoader(data, batch_size=4)))
    assert x.shape == (4, channels, 32, 32) and x.dtype == torch.float32
    want = split.load(40, ofmt, channels_first=True)[:4, :, 4:36, 4:36]
    assert np.array_equal(x.numpy(), want)
    assert torch.nn.Conv2d(channels, 8, 5)(x).shape == (4, 8, 28, 28)


@pytest.mark.parametrize("channels_first", [False, True])
def test_complex_items_reach_torch_as_complex64(split, channels_first):
    data = MSTAR(split, size=32, ofmt="c", channels_first=channels_first)
    x, _ = next(iter(DataLoader(data, batch_size=5)))
    assert x.dtype == torch.complex64
    assert np.array_equal(x.numpy(), split.load(32, "c", channels_first=channels_first)[:5])


def test_batched_fetches_read_per_batch_give_the_in_memory_values(split):
    calls = []

    class Counted(MSTAR):
        def __getitems__(self, indices):
            calls.append(list(indices))
            return super().__getitems__(indices)

    memory = MSTAR(split, size=48, ofmt="ap", channels_first=True)
    lazy = Counted(split, size=48, ofmt="ap", channels_first=True, in_memory=False)
    assert lazy.data is None and repr(lazy).splitlines()[1:] == repr(memory).splitlines()[1:]
    batches = list(zip(DataLoader(memory, batch_size=5), DataLoader(lazy, batch_size=5)))
    assert calls == [[0, 1, 2, 3, 4], [5, 6, 7, 8, 9], [10, 11]]  # one call a batch
    for (x, y), (lazy_x, lazy_y) in batches:
        assert torch.equal(x, lazy_x) and torch.equal(y, lazy_y)
    assert np.array_equal(lazy[-1][0], memory.data[-1]) and lazy[-1][1] == memory[-1][1]
    with pytest.raises(IndexError):
        lazy.__getitems__([0, 12])


@pytest.mark.parametrize("workers", [0, 2])
def test_batches_reach_torch_whole_and_leave_workers_as_one_block(split, workers):
    data = MSTAR(split, size=40, channels_first=True, transform=CenterCrop(24, channels_first=True))
    loader = DataLoader(data, batch_size=1, num_workers=workers, persistent_workers=workers > 0)
    kept = [batch for _ in range(2) for batch in loader]  # more than a worker's reused blocks, all held
    want = split.load(40, channels_first=True)[:, :, 8:32, 8:32]
    for n, (x, y) in enumerate(kept):
        assert np.array_equal(x[0].numpy(), want[n % len(data)]) and y.tolist() == [data.targets[n % len(data)]]
        assert x.dtype == torch.float32 and y.dtype == torch.int64
        assert (x.untyped_storage().data_ptr() == y.untyped_storage().data_ptr()) == (workers > 0)
    # items of a transform's own kind and transformed labels are collated item by item
    other = MSTAR(split, size=40, transform=lambda a: torch.from_numpy(a[:8, :8].copy()), target_transform=str)
    x, y = next(iter(DataLoader(other, batch_size=3, num_workers=workers)))
    assert torch.equal(x, torch.from_numpy(split.load(40)[:3, :8, :8])) and y == [str(n) for n in other.targets[:3]]


@pytest.mark.parametrize("make", [lambda first: CenterCrop((20, 24), channels_first=first),
                                  lambda first: ToDecibels(-60, channels_first=first),
                                  lambda first: Normalize([0.1, 2.0], [0.5, 3.0], channels_first=first),
                                  lambda first: RandomFlip(1.0, channels_first=first),
                                  lambda first: RandomCrop(40, channels_first=first)])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_tensors_go_through_the_transforms_as_arrays_do(split, make, dtype):
    x = split.load(40, "ap", np.float64, channels_first=True)[:3]
    tensors = torch.from_numpy(x).to(dtype)
    out = make(None).batch(tensors)  # a tensor is (C, H, W) unless told otherwise
    assert isinstance(out, torch.Tensor) and out.dtype == dtype and out.device == tensors.device
    want = make(True).batch(tensors.numpy())
    assert np.allclose(out.numpy(), want, rtol=1e-6, atol=0) and not np.shares_memory(out.numpy(), x)
    assert torch.equal(make(None)(tensors[0]), out[0])


def test_outside_workers_unseeded_draws_follow_torch_manual_seed_and_seeded_ones_their_seed():
    x = np.arange(400.0).reshape(20, 20)

    def crops(transform):
        return [transform(x)[0, 0] for _ in range(20)]

    torch.manual_seed(3)
    first = crops(Compose([RandomCrop(8), RandomFlip()]))
    torch.manual_seed(3)
    assert crops(Compose([RandomCrop(8), RandomFlip()])) == first
    torch.manual_seed(4)
    assert crops(RandomCrop(8, seed=1)) == crops(RandomCrop(8, seed=1))


def test_the_example_trains_an_epoch(tree, tmp_path):
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run([sys.executable, str(REPO / "examples" / "train.py"), str(tree), "--epochs", "1",
                           "--workers", "0"], capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "random_split" in out and "confusion matrix" in out
    assert "2S1" in out and "T62" in out and "accuracy" in out


def test_vantrel_imports_no_torch_of_its_own(tree):
    proc = run_python(f"""
        import sys, warnings
        import vantrel
        from vantrel.transforms import Compose, RandomCrop, RandomFlip
        warnings.simplefilter("ignore")
        data = vantrel.MSTAR({str(tree)!r}, subset="test", size=32, transform=Compose([RandomCrop(8), RandomFlip()]))
        data.__getitems__([0, 1]), data.stats()
        print("torch" in sys.modules)""")
    assert proc.stdout.strip() == "False"

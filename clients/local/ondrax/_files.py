"""Safe writes of a database file: built beside the target, renamed into place when complete,
under an exclusive lock on the target's directory so that two writers of one target never
both succeed."""

import contextlib
import glob
import os
import shutil

try:
    import fcntl
except ImportError:  # pragma: no cover  (not POSIX: no lock, the rename is still atomic)
    fcntl = None


def _partial_prefix(path):
    return "%s.partial-" % path


@contextlib.contextmanager
def _directory_lock(directory):
    if fcntl is None:  # pragma: no cover
        yield
        return
    fd = os.open(directory, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)  # releases the lock


def _remove_leftovers(path):
    # Only a load of this target (which holds the lock) writes these: whatever is there
    # now was left by a killed one.
    for name in glob.glob(glob.escape(_partial_prefix(path)) + "*"):
        with contextlib.suppress(OSError):
            if os.path.isdir(name):  # the database engine's spill directory
                shutil.rmtree(name)
            else:
                os.remove(name)


def _fsync(path, directory=False):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    except OSError:  # pragma: no cover  (some file systems refuse fsync of a directory)
        if not directory:
            raise
    finally:
        os.close(fd)


@contextlib.contextmanager
def replacing(path, must_exist=False, overwrite=False):
    """Yields the path of a work file; when the block ends without error the work file
    replaces `path`, else it is removed and `path` is left as it was.

    must_exist: the work file starts as a copy of `path` (an append), which must exist.
    Otherwise `path` must not exist unless `overwrite`. Raises FileExistsError or
    FileNotFoundError; both are checked under the lock.
    """
    path = os.path.abspath(path)
    directory = os.path.dirname(path)
    if not os.path.isdir(directory):
        raise FileNotFoundError("no directory %s" % directory)
    with _directory_lock(directory):
        _remove_leftovers(path)
        exists = os.path.lexists(path)
        if must_exist and not exists:
            raise FileNotFoundError("no database at %s to append to" % path)
        if exists and not must_exist and not overwrite:
            raise FileExistsError("%s exists (choose a new file or overwrite it)" % path)
        if exists and os.path.isdir(path):
            raise IsADirectoryError("%s is a directory" % path)
        work = _partial_prefix(path) + str(os.getpid())
        try:
            if must_exist:
                shutil.copyfile(path, work)
            yield work
            _fsync(work)
            os.replace(work, path)
            _fsync(directory, directory=True)
        finally:
            _remove_leftovers(path)

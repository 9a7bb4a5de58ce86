"""What a tree operation hands back: progress reports, the outcome, and the
two ways it ends early."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Progress:
    """Where an operation stands; handed to the progress callback.

    ``files_total`` and ``bytes_total`` grow while a remote tree is still
    being listed (``listing`` is then true).  ``files_done`` counts files
    moved or removed and those found already complete (``skipped``).
    """

    files_done: int
    files_total: int
    bytes_done: int
    bytes_total: int
    skipped: int = 0  # files (of files_done) found already complete
    failed: int = 0
    listing: bool = False
    path: str = ""

    def summary(self) -> str:
        text = f"{self.files_done} of {self.files_total} files, {_size(self.bytes_done)} of {_size(self.bytes_total)}"
        if self.skipped:
            text += f" ({self.skipped} already complete)"
        return text


#: Why a download passed over a listing line: the name it gives cannot be
#: an entry of the folder listed (``../x``, ``/x``, ``a/../../b``, a NUL),
#: so nothing is written for it anywhere.
LEAVES_FOLDER = "its name leaves the folder"
#: Why a download passed over a link line such as ``a -> b -> c``.
AMBIGUOUS_LINK = "a link whose name and target cannot be told apart"


@dataclass(frozen=True)
class Outcome:
    """What an operation did."""

    files: int  # moved or removed (for a removal, every entry that is no directory)
    bytes: int  # moved (for a removal: the listed sizes of what was removed)
    directories: int  # made (upload, download) or removed
    skipped: int  # found already complete
    #: Entries deliberately left alone, as ``(path, why)``: a download's
    #: special files and links it cannot make, say.  A listing line naming
    #: no entry of its folder is given as the folder, and why: `LEAVES_FOLDER`
    #: (or `AMBIGUOUS_LINK`), then ": " and the line as listed.
    passed_over: tuple[tuple[str, str], ...] = ()


class TreeError(Exception):
    """Some entries of a tree operation failed; the others were done.

    ``failures`` lists ``(path, reason)`` for each; ``progress`` is where the
    operation ended; ``passed_over`` is what `Outcome.passed_over` would have
    held.
    """

    def __init__(self, what: str, failures: list[tuple[str, str]], progress: Progress,
                 passed_over: tuple[tuple[str, str], ...] = ()) -> None:
        self.failures = sorted(failures)
        self.progress = progress
        self.passed_over = passed_over
        lines = "".join(f"\n  {path}: {reason}" for path, reason in self.failures)
        count = len(self.failures)
        super().__init__(f"{what}: {count} {'entry' if count == 1 else 'entries'} failed"
                         f" ({progress.summary()} done):{lines}")


class Interrupted(KeyboardInterrupt):
    """The operation was stopped by Ctrl-C; ``progress`` says how far it got.

    ``left_behind`` lists ``(path, reason)`` for each remote file that was
    being written when the stop came and could not be removed: it may be
    cut short under its own name.
    """

    def __init__(self, what: str, progress: Progress,
                 left_behind: tuple[tuple[str, str], ...] = ()) -> None:
        self.progress = progress
        self.left_behind = left_behind
        text = f"{what} interrupted after {progress.summary()}; running it again goes on from there"
        if left_behind:
            text += "; files left cut short on the server (not removed): " + ", ".join(
                f"{path} ({reason})" for path, reason in left_behind)
        super().__init__(text)


def _size(n: int) -> str:
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{n} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    return f"{value:.1f} GiB"  # pragma: no cover

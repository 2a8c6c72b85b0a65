"""The token stream shared by the LEF, DEF and guide readers.

LEF, DEF and guide files are whitespace-separated words; a word that starts with `#` opens a
comment to the end of the line, and a double-quoted string is one token (kept with its quotes,
so that a quoted `;` or `END` never ends a statement). A quoted string does not span lines.
"""
from __future__ import annotations

import re
from typing import NoReturn

from ..errors import FlowInputError

_TOKEN = re.compile(r'"(?:[^"\\\n]|\\.)*"|#[^\n]*|"|[^\s"]+')


class Tokens:
    """The words of one file and a cursor over them.

    Every reading method names the construct being read, so that a failure raises one
    `FlowInputError` with the file, the line and that construct.
    """

    def __init__(self, text: str, file: str):
        self.file = file
        self.words: list[str] = []
        self.lines: list[int] = []          # the 1-based line of each word
        # One regular-expression pass per line: a Python step per line, not per word.
        for number, line in enumerate(text.split("\n"), 1):
            words = _TOKEN.findall(line)
            if not words:
                continue
            if "#" in line or '"' in line:
                words = self._drop_comments(words, number)
            self.words += words
            self.lines += [number] * len(words)
        self.i = 0

    def _drop_comments(self, words: list[str], number: int) -> list[str]:
        if '"' in words:
            raise FlowInputError(self.file, number, "file", "a quoted string is not closed on its line")
        return [w for w in words if w[0] != "#"]

    @classmethod
    def from_file(cls, path: str) -> "Tokens":
        try:
            with open(path, encoding="utf-8", errors="strict") as f:
                text = f.read()
        except UnicodeDecodeError as e:
            raise FlowInputError(path, 1, "file", f"not a text file ({e.reason})") from None
        except OSError as e:
            raise FlowInputError(path, 0, "file", f"cannot be read: {e.strerror}") from None
        return cls(text, path)

    # ------------------------------------------------------------ places and errors

    def line(self, index: int | None = None) -> int:
        """The 1-based line of token `index` (default: the next one; past the end: the line
        of the last token, where the file stops)."""
        index = self.i if index is None else index
        if index >= len(self.lines):
            return self.lines[-1] if self.lines else 1
        return self.lines[index]

    def error(self, construct: str, problem: str, index: int | None = None) -> NoReturn:
        raise FlowInputError(self.file, self.line(index), construct, problem)

    # ------------------------------------------------------------ reading

    def at_end(self) -> bool:
        return self.i >= len(self.words)

    def peek(self, ahead: int = 0) -> str | None:
        j = self.i + ahead
        return self.words[j] if j < len(self.words) else None

    def next(self, construct: str, what: str = "a word") -> str:
        """The next token; the end of the file here is a truncated file."""
        if self.i >= len(self.words):
            self.error(construct, f"file ends where {what} was expected (truncated?)")
        word = self.words[self.i]
        self.i += 1
        return word

    def name(self, construct: str, what: str = "a name") -> str:
        """A name: any token but the punctuation that ends or opens something."""
        word = self.next(construct, what)
        if word in (";", "(", ")", "+", "-"):
            self.error(construct, f"expected {what}, found {word!r}", self.i - 1)
        return word

    def keyword(self, construct: str, allowed: tuple[str, ...] | frozenset[str], what: str = "") -> str:
        word = self.next(construct, what or "one of " + ", ".join(allowed))
        if word not in allowed:
            what = what or "one of " + ", ".join(sorted(allowed))
            self.error(construct, f"expected {what}, found {word!r}", self.i - 1)
        return word

    def number(self, construct: str, what: str = "a number") -> float:
        word = self.next(construct, what)
        try:
            value = float(word)
        except ValueError:
            self.error(construct, f"expected {what}, found {word!r}", self.i - 1)
        if value != value or value in (float("inf"), float("-inf")):
            self.error(construct, f"expected {what}, found {word!r}", self.i - 1)
        return value

    def integer(self, construct: str, what: str = "an integer") -> int:
        word = self.next(construct, what)
        try:
            return int(word)
        except ValueError:
            self.error(construct, f"expected {what}, found {word!r}", self.i - 1)

    def expect(self, word: str, construct: str) -> None:
        found = self.next(construct, repr(word))
        if found != word:
            self.error(construct, f"expected {word!r}, found {found!r}", self.i - 1)

    def accept(self, word: str) -> bool:
        """Consumes `word` when it is next."""
        if self.i < len(self.words) and self.words[self.i] == word:
            self.i += 1
            return True
        return False

    def end_statement(self, construct: str) -> None:
        self.expect(";", construct)

    def skip_statement(self, construct: str) -> None:
        """Skips to just past the next `;`."""
        try:
            self.i = self.words.index(";", self.i) + 1
        except ValueError:
            self.i = len(self.words)
            self.error(construct, "file ends before the ';' that closes this statement (truncated?)")

    def skip_block(self, name: str, construct: str, start: int) -> None:
        """Skips to just past `END name` (`start`: the block's first token, for the error)."""
        words, n = self.words, len(self.words)
        i = self.i
        while True:
            try:
                i = words.index("END", i)
            except ValueError:
                self.error(construct, f"no 'END {name}' before the end of the file (truncated?)", start)
            if i + 1 < n and words[i + 1] == name:
                self.i = i + 2
                return
            i += 1


def unquote(word: str) -> str:
    return word[1:-1] if len(word) >= 2 and word[0] == '"' and word[-1] == '"' else word

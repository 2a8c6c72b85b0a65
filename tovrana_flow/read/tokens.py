"""The token stream shared by the LEF, DEF and guide readers.

LEF, DEF and guide files are whitespace-separated words; a word that starts with `#` opens a
comment to the end of the line, and a double-quoted string is one token (kept with its quotes,
so that a quoted `;` or `END` never ends a statement). A quoted string may span lines (technology
LEFs write their newer rules as multi-line `PROPERTY LEF58_... "..." ;` strings); it counts as a
word of the line where it opens.
"""
from __future__ import annotations

import math
import re
from typing import NoReturn

from ..errors import FlowInputError

# The most repetitions (cuts of a via, vias of an array) one statement may ask for: far more
# than any real design writes, few enough that a corrupt count cannot exhaust memory.
MAX_ARRAY = 100_000

TOKEN = re.compile(r'"(?:[^"\\\n]|\\.)*"|#[^\n]*|"|[^\s"]+')
# The rest of a quoted string that did not close on its first line, up to its closing quote.
CLOSING = re.compile(r'(?:[^"\\]|\\.)*"')


class Tokens:
    """The words of one file and a cursor over them.

    Every reading method names the construct being read, so that a failure raises one
    `FlowInputError` with the file, the line and that construct.
    """

    def __init__(self, text: str, file: str, first_line: int = 1):
        self.file = file
        self.words: list[str] = []
        self.lines: list[int] = []          # the 1-based line of each word
        lines = text.split("\n")
        k = 0
        line = lines[0] if lines else ""
        # A file repeats few distinct words (a routed DEF: 22,000 of 950,000): each is kept
        # once, so that the word list holds references, not a string per word.
        distinct: dict[str, str] = {}
        # One regular-expression pass per line: a Python step per line, not per word.
        while True:
            number = k + first_line
            words = TOKEN.findall(line)
            if words and ("#" in line or '"' in line):
                if '"' in words:                  # a string that closes on a later line
                    words, k, line = self._across_lines(lines, k, line, number)
                else:
                    words = [w for w in words if w[0] != "#"]
                    k += 1
                    line = None
            else:
                k += 1
                line = None
            self.words += map(distinct.setdefault, words, words)
            self.lines += [number] * len(words)
            if line is None:
                if k >= len(lines):
                    break
                line = lines[k]
        self.i = 0

    def _across_lines(self, lines: list[str], k: int, line: str, number: int) -> tuple[list[str], int, str]:
        """The words of `line` (line k) up to a string that opens there and closes on a later
        line, that string as one word, and where reading goes on: the closing line's index and
        the rest of it."""
        words = []
        for m in TOKEN.finditer(line):
            if m.group() == '"':
                opened = line[m.start():]
                break
            if m.group()[0] != "#":
                words.append(m.group())
        parts = [opened]
        for j in range(k + 1, len(lines)):
            closed = CLOSING.match(lines[j])
            if closed:
                parts.append(closed.group())
                return words + ["\n".join(parts)], j, lines[j][closed.end():]
            parts.append(lines[j])
        raise FlowInputError(self.file, number, "file", "a quoted string is not closed before the end of the file")

    def quoted(self, index: int) -> "Tokens":
        """The words inside the quoted string at token `index`, on their own lines of this file."""
        return Tokens(self.words[index][1:-1], self.file, self.lines[index])

    @classmethod
    def from_file(cls, path: str) -> "Tokens":
        try:
            with open(path, encoding="utf-8", errors="strict") as f:
                text = f.read()
        except UnicodeDecodeError as e:
            raise FlowInputError(path, 1, "file", f"not a text file ({e.reason})") from None
        except OSError as e:
            raise FlowInputError(path, 0, "file", f"cannot be read: {e.strerror}") from None   # line 0: none
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
        if not is_number(word):
            self.error(construct, f"expected {what}, found {word!r}", self.i - 1)
        return float(word)

    def integer(self, construct: str, what: str = "an integer") -> int:
        word = self.next(construct, what)
        try:
            if "_" not in word:
                return int(word)
        except ValueError:
            pass
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

    def skip_extension(self) -> None:
        """Skips a `BEGINEXT ... ENDEXT` extension (its BEGINEXT already read)."""
        while self.next("BEGINEXT", "ENDEXT") != "ENDEXT":
            pass

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


def is_number(word: str) -> bool:
    """A finite decimal number (not "nan", "inf" or Python's "1_000")."""
    try:
        value = float(word)
    except ValueError:
        return False
    return "_" not in word and math.isfinite(value)

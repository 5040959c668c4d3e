#!/usr/bin/env python3
"""Gives a WinHelp (.hlp) file its numeric context map.

Programs open a topic of a help file by number: WinHelp(owner, file,
HELP_CONTEXT, number) looks the number up in the file's |CTXOMAP internal
file. halibut writes that map empty, so this step fills it in after halibut:

    set_context_map.py KVMGR.HLP 858=overview [NUMBER=context-name ...]

Each context name is one given to a topic with \\cfg{winhelp-topic}; the step
finds the topic's offset through the |CONTEXT B+ tree (keyed by the hash of
the name) and maps the number to it. Standard library only.

The file is a small file system: a header (magic 0x35F3F, offset of the
directory, first free block, file size), then internal files, each with a
9-byte header (reserved size, used size, flags). The directory is a B+ tree
of (name, offset) pairs. When the new map does not fit where the old one is,
it is appended at the end of the file and the directory entry repointed.
"""

import argparse
import struct
import sys

FILE_MAGIC = 0x00035F3F
BTREE_MAGIC = 0x293B
FILE_HEADER = struct.Struct("<IIB")  # reserved space, used space, flags
BTREE_HEADER = struct.Struct("<HHH16sHHhhHHi")
LEAF_HEADER = struct.Struct("<HHhh")  # unused, entries, previous page, next page
INDEX_HEADER = struct.Struct("<HHh")  # unused, entries, page before the first key


class HelpFileError(Exception):
    pass


def context_hash(name):
    """The hash under which WinHelp files a context name: each character
    has a small code (digits 1-9 then 0 as 1..10, '.' 12, '_' 13, letters
    17..42 whatever their case) and h = h * 43 + code, in 32-bit arithmetic."""
    if not name:
        return 1
    h = 0
    for ch in name:
        if "1" <= ch <= "9":
            code = ord(ch) - ord("0")
        elif ch == "0":
            code = 10
        elif ch == ".":
            code = 12
        elif ch == "_":
            code = 13
        elif ch.isascii() and ch.isalpha():
            code = 17 + ord(ch.upper()) - ord("A")
        else:
            raise HelpFileError("context name %r: only letters, digits, '.' and '_' are supported" % name)
        h = (h * 43 + code) & 0xFFFFFFFF
    return h - (1 << 32) if h & 0x80000000 else h


class HelpFile:
    def __init__(self, data):
        self.data = bytearray(data)
        if len(self.data) < 16:
            raise HelpFileError("too short for a help file")
        magic, self.directory_at, _, size = struct.unpack_from("<IiiI", self.data, 0)
        if magic != FILE_MAGIC:
            raise HelpFileError("not a WinHelp file (magic %#x)" % magic)
        if size != len(self.data):
            raise HelpFileError("header gives %d bytes, the file has %d" % (size, len(self.data)))
        # name -> (offset of the internal file, offset of the directory field holding it)
        self.directory = {}
        for key, value_at in self._leaf_entries(self.directory_at, self._string_key, 4):
            self.directory[key] = (struct.unpack_from("<i", self.data, value_at)[0], value_at)

    def _check(self, at, length):
        if at < 0 or at + length > len(self.data):
            raise HelpFileError("reference past the end of the file (%d + %d)" % (at, length))

    def _file_data(self, at):
        """(start, used length) of the internal file whose header is at offset at."""
        self._check(at, FILE_HEADER.size)
        _, used, _ = FILE_HEADER.unpack_from(self.data, at)
        self._check(at + FILE_HEADER.size, used)
        return at + FILE_HEADER.size, used

    def _string_key(self, at, end):
        stop = self.data.find(b"\0", at, end)
        if stop < 0:
            raise HelpFileError("unterminated name in a B+ tree")
        return self.data[at:stop].decode("cp1252"), stop + 1

    def _long_key(self, at, end):
        if at + 4 > end:
            raise HelpFileError("truncated key in a B+ tree")
        return struct.unpack_from("<i", self.data, at)[0], at + 4

    def _leaf_entries(self, file_at, read_key, value_size):
        """(key, offset of the value) of every leaf entry of the B+ tree in
        the internal file at file_at, in key order."""
        start, used = self._file_data(file_at)
        end = start + used
        self._check(start, BTREE_HEADER.size)
        magic, _, page_size, _, _, _, root, _, pages, levels, _ = BTREE_HEADER.unpack_from(self.data, start)
        if magic != BTREE_MAGIC or page_size == 0:
            raise HelpFileError("bad B+ tree header at %d" % file_at)
        first_page = start + BTREE_HEADER.size

        def page_at(number):
            if number < 0 or number >= pages:
                raise HelpFileError("B+ tree page %d of %d" % (number, pages))
            at = first_page + number * page_size
            self._check(at, page_size)
            return at

        page = root
        for _ in range(levels - 1):  # down the leftmost children to the first leaf
            page = INDEX_HEADER.unpack_from(self.data, page_at(page))[2]
        seen = set()
        while page != -1:
            if page in seen:
                raise HelpFileError("B+ tree leaves form a loop")
            seen.add(page)
            at = page_at(page)
            _, count, _, following = LEAF_HEADER.unpack_from(self.data, at)
            at += LEAF_HEADER.size
            page_end = min(at - LEAF_HEADER.size + page_size, end)
            for _ in range(count):
                key, at = read_key(at, page_end)
                if at + value_size > page_end:
                    raise HelpFileError("truncated B+ tree entry")
                yield key, at
                at += value_size
            page = following

    def topic_offset(self, context_name):
        if "|CONTEXT" not in self.directory:
            raise HelpFileError("the file has no |CONTEXT")
        wanted = context_hash(context_name)
        for key, value_at in self._leaf_entries(self.directory["|CONTEXT"][0], self._long_key, 4):
            if key == wanted:
                return struct.unpack_from("<I", self.data, value_at)[0]
        raise HelpFileError("no topic has the context name %r" % context_name)

    def set_context_map(self, entries):
        """Makes |CTXOMAP hold exactly entries, a list of (number, topic offset)."""
        payload = struct.pack("<H", len(entries)) + b"".join(struct.pack("<II", n, o) for n, o in entries)
        if "|CTXOMAP" not in self.directory:
            raise HelpFileError("the file has no |CTXOMAP entry to repoint")
        old_at, field_at = self.directory["|CTXOMAP"]
        self._check(old_at, FILE_HEADER.size)
        reserved, _, flags = FILE_HEADER.unpack_from(self.data, old_at)
        if reserved >= FILE_HEADER.size + len(payload):
            FILE_HEADER.pack_into(self.data, old_at, reserved, len(payload), flags)
            self.data[old_at + FILE_HEADER.size:old_at + FILE_HEADER.size + len(payload)] = payload
            return
        new_at = len(self.data)
        self.data += FILE_HEADER.pack(FILE_HEADER.size + len(payload), len(payload), flags) + payload
        struct.pack_into("<i", self.data, field_at, new_at)
        struct.pack_into("<I", self.data, 12, len(self.data))
        self.directory["|CTXOMAP"] = (new_at, field_at)

    def context_map(self):
        start, used = self._file_data(self.directory["|CTXOMAP"][0])
        (count,) = struct.unpack_from("<H", self.data, start)
        if 2 + 8 * count > used:
            raise HelpFileError("|CTXOMAP holds %d bytes for %d entries" % (used, count))
        return [struct.unpack_from("<II", self.data, start + 2 + 8 * i) for i in range(count)]


def parse_mapping(text):
    number, sep, name = text.partition("=")
    if not sep or not number.isdigit() or not name or int(number) > 0xFFFFFFFF:
        raise argparse.ArgumentTypeError("expected NUMBER=context-name, got %r" % text)
    return int(number), name


def main(argv=None):
    parser = argparse.ArgumentParser(description="Fills in the numeric context map of a WinHelp file.")
    parser.add_argument("helpfile")
    parser.add_argument("mapping", nargs="+", type=parse_mapping, help="NUMBER=context-name")
    args = parser.parse_args(argv)
    try:
        with open(args.helpfile, "rb") as f:
            help_file = HelpFile(f.read())
        entries = sorted((number, help_file.topic_offset(name)) for number, name in args.mapping)
        help_file.set_context_map(entries)
        if help_file.context_map() != entries:
            raise HelpFileError("the context map does not read back as written")
    except (OSError, struct.error, HelpFileError) as e:
        print("set_context_map: %s: %s" % (args.helpfile, e), file=sys.stderr)
        return 1
    with open(args.helpfile, "wb") as f:
        f.write(help_file.data)
    return 0


if __name__ == "__main__":
    sys.exit(main())

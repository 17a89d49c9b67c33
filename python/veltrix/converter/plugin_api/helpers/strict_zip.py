"""One reading of a zip archive that any two zip readers must agree on, or
a refusal saying why not.

Zip readers disagree on archives a writer never makes: bytes before the
first member (one reader shifts every offset, another takes them as
written), two members of one name (one keeps the last, another finds one by
binary search, without regard to case), members that overlap or hide bytes
between them, local headers that contradict the central directory. An
archive from a stranger is read here first and taken only when it has none
of these: its members follow one another from the first byte, each where
the central directory says, with the same name, sizes and checksum in both
headers, stored (not compressed), then the central directory and its end
records up to the last byte. Compression is refused from the central
directory, before any member's data is read.

Pure Python; no library of ours is needed.
"""

import struct
import zlib
from typing import Dict, List, NamedTuple, Tuple

_LOCAL, _CENTRAL, _END, _END64, _LOCATOR64, _DESCRIPTOR = (
    0x04034B50, 0x02014B50, 0x06054B50, 0x06064B50, 0x07064B50, 0x08074B50)
_ZIP64_EXTRA, _PADDING_EXTRA = 0x0001, 0x4246  # PyTorch's writer pads member data to alignment with "FB"
_ENCRYPTED, _DESCRIPTOR_FLAG, _UTF8 = 0x1, 0x8, 0x800
_STORED = 0
_SATURATED16, _SATURATED32 = 0xFFFF, 0xFFFFFFFF


_MOVED = ("its parts are not where its end records say (bytes were added before the archive or inside it: "
          "another reader would see another archive)")


class ZipRefused(ValueError):
    """The archive is not one reading can be sure of; the text says why."""


class Member(NamedTuple):
    """One stored member: its name as written, where its local header and
    its data start, and its size."""

    name: str
    header_offset: int
    data_offset: int
    size: int


def _unpack(layout: str, data: bytes, offset: int, what: str) -> Tuple[int, ...]:
    end = offset + struct.calcsize(layout)
    if offset < 0 or end > len(data):
        raise ZipRefused("its %s lies outside the file" % what)
    return struct.unpack_from(layout, data, offset)


def _extra_fields(extra: bytes, what: str) -> Dict[int, bytes]:
    fields: Dict[int, bytes] = {}
    at = 0
    while at < len(extra):
        if at + 4 > len(extra):
            raise ZipRefused("the extra field of %s is cut short" % what)
        kind, size = struct.unpack_from("<HH", extra, at)
        if kind in fields or at + 4 + size > len(extra):
            raise ZipRefused("the extra field of %s is malformed" % what)
        if kind not in (_ZIP64_EXTRA, _PADDING_EXTRA):
            raise ZipRefused("%s carries an extra field of kind 0x%04x, which no archive writer of PyTorch writes"
                             % (what, kind))
        fields[kind] = extra[at + 4:at + 4 + size]
        at += 4 + size
    return fields


def _zip64_values(fields: Dict[int, bytes], saturated: List[bool], what: str) -> List[int]:
    """The 64-bit values a zip64 extra field holds for the saturated ones of
    (uncompressed size, compressed size, local header offset)."""
    wanted = sum(saturated)
    raw = fields.get(_ZIP64_EXTRA, b"")
    if len(raw) != 8 * wanted:
        raise ZipRefused("the zip64 field of %s does not match its header" % what)
    return list(struct.unpack_from("<%dQ" % wanted, raw))


def _name(raw: bytes, flags: int) -> str:
    try:
        name = raw.decode("utf-8" if flags & _UTF8 else "ascii")
    except UnicodeDecodeError:
        raise ZipRefused("a member's name is not text") from None
    parts = name.split("/")
    if (not name.isprintable() or not name.isascii() or "\\" in name or name.startswith("/")
            or any(p in ("", ".", "..") for p in parts)):
        raise ZipRefused("a member's name (%r) is not a plain relative path" % name[:80])
    return name


def _end_records(data: bytes) -> Tuple[int, int, int]:
    """(number of members, central directory offset, its size), from end
    records that close the file exactly."""
    end = len(data) - 22
    (signature, disk, cd_disk, on_disk, count, cd_size, cd_offset, comment) = _unpack(
        "<IHHHHIIH", data, end, "end record")
    if signature != _END:
        raise ZipRefused("it does not end with a zip end record (a comment or data after the archive)")
    if disk or cd_disk or on_disk != count or comment:
        raise ZipRefused("its end record describes a split archive or carries a comment")
    directory_end = end
    locator = end - 20
    if locator >= 0 and struct.unpack_from("<I", data, locator)[0] == _LOCATOR64:
        _, locator_disk, end64, disks = _unpack("<IIQI", data, locator, "zip64 locator")
        if end64 + 56 != locator:
            raise ZipRefused(_MOVED)
        (signature64, record_size, _, _, disk64, cd_disk64, on_disk64, count64, cd_size64, cd_offset64) = _unpack(
            "<IQHHIIQQQQ", data, end64, "zip64 end record")
        if (signature64 != _END64 or locator_disk or disks != 1 or disk64 or cd_disk64 or record_size != 44
                or on_disk64 != count64):
            raise ZipRefused("its zip64 end records are malformed")
        for small, large in ((count, count64), (cd_size, cd_size64), (cd_offset, cd_offset64)):
            if small not in (large, _SATURATED16, _SATURATED32):
                raise ZipRefused("its two end records disagree")
        count, cd_size, cd_offset, directory_end = count64, cd_size64, cd_offset64, end64
    elif _SATURATED16 == count or _SATURATED32 in (cd_size, cd_offset):
        raise ZipRefused("its end record points to zip64 records it does not hold")
    if cd_offset + cd_size != directory_end:
        raise ZipRefused(_MOVED)
    return count, cd_offset, cd_size


def read_zip(data: bytes, crc: bool = True) -> List[Member]:
    """The stored members of the archive `data`, in the order they lie in
    it; ZipRefused for anything two readers could read differently (see the
    module's text) or any compressed member. `crc=False` skips checking the
    data against its checksum."""
    count, cd_offset, cd_size = _end_records(data)
    entries = []
    at = cd_offset
    for index in range(count):
        (signature, _, _, flags, method, _, _, checksum, packed, size, name_length, extra_length, comment_length,
         disk, _, _, header_offset) = _unpack("<IHHHHHHIIIHHHHHII", data, at, "central directory")
        if signature != _CENTRAL:
            raise ZipRefused("its central directory holds fewer members than its end record says")
        raw_name = data[at + 46:at + 46 + name_length]
        extra = data[at + 46 + name_length:at + 46 + name_length + extra_length]
        name = _name(raw_name, flags)
        what = "member %s" % name
        if flags & _ENCRYPTED:
            raise ZipRefused("its member %s is encrypted" % name)
        if method != _STORED:
            raise ZipRefused("its member %s is compressed (method %d); PyTorch stores every member as it is"
                             % (name, method))
        if comment_length or disk:
            raise ZipRefused("its member %s carries a comment or lies on another disk" % name)
        fields = _extra_fields(extra, what)
        saturated = [size == _SATURATED32, packed == _SATURATED32, header_offset == _SATURATED32]
        if any(saturated) or _ZIP64_EXTRA in fields:
            values = iter(_zip64_values(fields, saturated, what))
            size, packed, header_offset = (next(values) if s else v
                                           for s, v in zip(saturated, (size, packed, header_offset)))
        if packed != size:
            raise ZipRefused("its member %s is stored with two sizes" % name)
        entries.append((header_offset, name, raw_name, flags, checksum, size, _ZIP64_EXTRA in fields))
        at += 46 + name_length + extra_length + comment_length
    if at != cd_offset + cd_size:
        raise ZipRefused("its central directory holds more than its members")
    folded: Dict[str, str] = {}
    for entry in entries:
        other = folded.setdefault(entry[1].lower(), entry[1])
        if other is not entry[1]:
            raise ZipRefused("it holds two members named %s and %s (names compared without regard to case)"
                             % (other, entry[1]))
    members = []
    at = 0
    for header_offset, name, raw_name, flags, checksum, size, wide in sorted(entries):
        if header_offset != at:
            raise ZipRefused("its member %s does not start where the previous one ends (%s)" % (
                name, "data before the first member" if at == 0 else "members overlap or bytes hide between them"))
        (signature, _, local_flags, method, _, _, local_checksum, local_packed, local_size, name_length,
         extra_length) = _unpack("<IHHHHHIIIHH", data, at, "local header of %s" % name)
        local_name = data[at + 30:at + 30 + name_length]
        local_extra = _extra_fields(data[at + 30 + name_length:at + 30 + name_length + extra_length],
                                    "member %s" % name)
        if signature != _LOCAL or local_name != raw_name or local_flags != flags or method != _STORED:
            raise ZipRefused("the local header of %s does not match the central directory" % name)
        start = at + 30 + name_length + extra_length
        end = start + size
        if end > cd_offset:
            raise ZipRefused("its member %s runs into the central directory" % name)
        if flags & _DESCRIPTOR_FLAG:
            layout = "<IIQQ" if wide else "<IIII"
            descriptor = _unpack(layout, data, end, "data descriptor of %s" % name)
            if local_checksum or (local_packed, local_size) not in ((0, 0), (_SATURATED32, _SATURATED32)) or \
                    descriptor != (_DESCRIPTOR, checksum, size, size):
                raise ZipRefused("the data descriptor of %s does not match the central directory" % name)
            end += struct.calcsize(layout)
        else:
            if _ZIP64_EXTRA in local_extra:
                local_size, local_packed = _zip64_values(local_extra, [local_size == _SATURATED32,
                                                                       local_packed == _SATURATED32], name)[:2]
            if (local_checksum, local_packed, local_size) != (checksum, size, size):
                raise ZipRefused("the local header of %s does not match the central directory" % name)
        if crc and zlib.crc32(memoryview(data)[start:start + size]) != checksum:
            raise ZipRefused("its member %s does not match its checksum (the file is damaged)" % name)
        members.append(Member(name, header_offset, start, size))
        at = end
    if at != cd_offset:
        raise ZipRefused("bytes hide between its last member and its central directory")
    return members

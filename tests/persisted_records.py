"""A second, pure-Python reading of the persisted form's framing, used by the tests."""
import pyroaring

SPAN = 2**32


def persisted(bitmap, portable=True, prepare=True):
    """The bytes of bitmap.write() into a buffer of exactly persisted_size() bytes; without `prepare`,
    of the containers as they are (neither run-optimised nor shrunk first)."""
    buffer = bytearray(bitmap.persisted_size(portable, prepare, prepare))
    assert bitmap.write(buffer, portable) == len(buffer)
    return bytes(buffer)


def records(blob):
    """(key, payload) of every record, in stored order."""
    count, offset, result = int.from_bytes(blob[:8], "little"), 8, []
    for _ in range(count):
        key = int.from_bytes(blob[offset:offset + 4], "little")
        length = int.from_bytes(blob[offset + 4:offset + 12], "little")
        result.append((key, blob[offset + 12:offset + 12 + length]))
        offset += 12 + length
    return result


def bucket_keys(bitmap):
    return [key for key, _ in records(persisted(bitmap))]


def payload_members(payload, portable):
    """Low values of one payload, decoded by pyroaring (portable) or by hand (native kind 1)."""
    if not portable:
        if payload[0] == 1:
            count = int.from_bytes(payload[1:5], "little")
            return [int.from_bytes(payload[5 + 4 * i:9 + 4 * i], "little") for i in range(count)]
        assert payload[0] == 2
        payload = payload[1:]
    return list(pyroaring.BitMap.deserialize(payload))


def members_of_form(blob, portable):
    return [key * SPAN + low for key, payload in records(blob) for low in payload_members(payload, portable)]

"""The members of a Bitmap as a Python set, and what each operation of the Python surface does to
them. Every function takes the members and the arguments as Python ints (or bools) and returns
(result, new members), or raises the exception class the module raises for that input. Only
member-level rules: which empty buckets exist never shows here."""
SPAN = 2**32
MAX = 2**64 - 1
REPR_MEMBERS = 10
LARGEST_MASK = 2**63 - 1  # elements a NumPy array can hold


class NewBitmap(frozenset):
    """A result that is a new Bitmap object holding these members."""


def unchanged(result):
    return lambda members, *values: (result(members, *values), members)


def touched(position, end_ex):
    """The positions set/unset/flip change: one when end_ex is None, else those of [position, end_ex)."""
    return {position} if end_ex is None else set(range(position, end_ex))


def set_(members, position, end_ex):
    return None, members | touched(position, end_ex)


def unset(members, position, end_ex):
    if end_ex is None:
        return None, members - {position}
    return None, {m for m in members if not position <= m < end_ex}  # any width: nothing enumerated


def flip(members, position, end_ex):
    if end_ex is not None and position >= end_ex:
        raise RuntimeError("Invalid range.")
    return None, members ^ touched(position, end_ex)


def count_in(members, start, end_ex):
    return sum(1 for m in members if start <= m < end_ex)


def nth(members, ordinal):
    if ordinal >= len(members):
        raise RuntimeError(f"The ordinal value [ {ordinal}] is greater than the total cardinality")
    return sorted(members)[ordinal]


def slice_of(members, start, end_ex):
    if end_ex >> 32 < start >> 32:
        raise RuntimeError(f"Invalid range{start}..{end_ex}")
    return NewBitmap(m for m in members if start <= m < end_ex)


def contract(members, position, by):
    """Deletes (position - by, position] and moves the members above position down by `by`;
    refused when the bucket of position holds members and lo(position) <= by, or when a member
    above position would land below 0."""
    if not members:
        return None, members
    start_bucket_held = any(m >> 32 == position >> 32 for m in members)
    if (start_bucket_held and position % SPAN <= by) or any(position < m < by for m in members):
        raise ValueError("Range Out of Bounds")
    return None, {m for m in members if m <= position - by} | {m - by for m in members if m > position}


def expand(members, position, by):
    if not members or position > max(members):
        return None, members
    if max(members) + by > MAX:
        raise OverflowError(f"expand by {by} would move member {max(members)} past 2^64 - 1")
    return None, {m for m in members if m < position} | {m + by for m in members if m >= position}


def repr_of(members):
    shown = sorted(members)[:REPR_MEMBERS]
    text = "Bitmap([" + ", ".join(map(str, shown))
    return text + "])" if len(members) <= REPR_MEMBERS else text + f", ...], cardinality={len(members)})"


def mask_span(members, relative):
    """bool_array's length - 1 (members required)."""
    return max(members) - (min(members) if relative else 0)


def bool_mask(members, invert, relative):
    if not members:
        return [], members
    span = mask_span(members, relative)
    if span >= LARGEST_MASK:
        raise OverflowError(f"bool_array would need {span} + 1 elements, more than a NumPy array can hold")
    offset = min(members) if relative else 0
    mask = [invert] * (span + 1)
    for m in members:
        mask[m - offset] = not invert
    return mask, members


def new_object(combine):
    return lambda members, other: (NewBitmap(combine(members, other)), members)


def in_place(combine):
    def apply(members, other):
        changed = combine(members, other)
        return NewBitmap(changed), changed
    return apply


ALGEBRA = {"union": set.union, "intersect": set.intersection, "difference": set.difference,
           "symmetric_difference": set.symmetric_difference}
OPERATOR_NAMES = {"union": "or", "intersect": "and", "difference": "sub", "symmetric_difference": "xor"}

# Operations that take positions (p), optional positions (o: None allowed) or Bitmap operands (b).
OPERATIONS = {
    "contains": ("p", unchanged(lambda m, p: p in m)),
    "__contains__": ("p", unchanged(lambda m, p: p in m)),
    "set": ("po", set_),
    "unset": ("po", unset),
    "flip": ("po", flip),
    "all": ("pp", unchanged(lambda m, s, e: s >= e or count_in(m, s, e) == e - s)),
    "any": ("pp", unchanged(lambda m, s, e: count_in(m, s, e) > 0)),
    "lower_cardinality": ("p", unchanged(lambda m, p: sum(1 for x in m if x < p))),
    "upper_cardinality": ("p", unchanged(lambda m, p: sum(1 for x in m if x > p))),
    "nth": ("p", unchanged(nth)),
    "self_or_next": ("p", unchanged(lambda m, p: min((x for x in m if x >= p), default=None))),
    "self_or_previous": ("p", unchanged(lambda m, p: max((x for x in m if x <= p), default=None))),
    "slice": ("pp", unchanged(slice_of)),
    "contract": ("pp", contract),
    "expand": ("pp", expand),
    "__eq__": ("b", unchanged(lambda m, o: m == o)),
    "subset_of": ("b", unchanged(lambda m, o: m <= o)),
    "strict_subset_of": ("b", unchanged(lambda m, o: m < o)),
}
for _name, _combine in ALGEBRA.items():
    _operator = OPERATOR_NAMES[_name]
    OPERATIONS[_name] = OPERATIONS[f"__{_operator}__"] = ("b", new_object(_combine))
    OPERATIONS[f"inplace_{_name}"] = OPERATIONS[f"__i{_operator}__"] = ("b", in_place(_combine))

# Read-only properties and calls without arguments.
QUERIES = {
    "cardinality": len,
    "__len__": len,
    "empty": lambda m: not m,
    "first": lambda m: min(m, default=None),
    "last": lambda m: max(m, default=None),
    "in_memory_size": lambda m: len({x >> 16 for x in m}),  # one container per 2^16 block held
    "index_array": sorted,
    "__repr__": repr_of,
}

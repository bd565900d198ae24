#!/usr/bin/env python3
"""Prints payout-address test vectors, built with the published bech32/bech32m
encoding (BIP-173 with the BIP-350 constant), independently of the miner's code.
Paste the output into payout_address_test.cpp."""

CHARSET = "qpzry9x8gf2tvdw0s3jn54khce6mua7l"
BECH32_CONST = 1
BECH32M_CONST = 0x2BC830A3


def polymod(values):
    gen = [0x3B6A57B2, 0x26508E6D, 0x1EA119FA, 0x3D4233DD, 0x2A1462B3]
    chk = 1
    for v in values:
        top = chk >> 25
        chk = (chk & 0x1FFFFFF) << 5 ^ v
        for i in range(5):
            chk ^= gen[i] if ((top >> i) & 1) else 0
    return chk


def hrp_expand(hrp):
    return [ord(x) >> 5 for x in hrp] + [0] + [ord(x) & 31 for x in hrp]


def create_checksum(hrp, data, const):
    values = hrp_expand(hrp) + data
    pm = polymod(values + [0] * 6) ^ const
    return [(pm >> 5 * (5 - i)) & 31 for i in range(6)]


def encode(hrp, data, const=BECH32M_CONST):
    combined = data + create_checksum(hrp, data, const)
    return hrp + "1" + "".join(CHARSET[d] for d in combined)


def convertbits(data, frombits, tobits, pad=True):
    acc = 0
    bits = 0
    ret = []
    maxv = (1 << tobits) - 1
    for value in data:
        acc = (acc << frombits) | value
        bits += frombits
        while bits >= tobits:
            bits -= tobits
            ret.append((acc >> bits) & maxv)
    if pad and bits:
        ret.append((acc << (tobits - bits)) & maxv)
    return ret


def segwit(hrp, version, program, const=BECH32M_CONST):
    return encode(hrp, [version] + convertbits(list(program), 8, 5), const)


def flip_char(addr, pos):
    c = addr[pos]
    return addr[:pos] + CHARSET[(CHARSET.index(c) + 1) % 32] + addr[pos + 1:]


# The encoder must reproduce the published BIP-173 and BIP-350 examples first.
_example = bytes.fromhex("751e76e8199196d454941c45d1b3a323f1433bd6" * 2)
assert segwit("bc", 1, _example) == (
    "bc1pw508d6qejxtdg4y5r3zarvary0c5xw7kw508d6qejxtdg4y5r3zarvary0c5xw7kt5nd6y")
assert segwit("bc", 0, _example[:20], BECH32_CONST) == "bc1qw508d6qejxtdg4y5r3zarvary0c5xw7kv8f3t4"

program_a = bytes(range(32))
program_b = bytes((i * 37 + 11) & 0xFF for i in range(32))

valid_a = segwit("vex", 1, program_a)
valid_b = segwit("vex", 1, program_b)

# 52 five-bit groups hold the 32 bytes plus 4 zero bits; set one of those bits.
groups = convertbits(list(program_a), 8, 5)
bad_pad_groups = groups[:-1] + [groups[-1] | 1]

vectors = [
    ("kValidA", valid_a),
    ("kValidB", valid_b),
    ("kValidUpper", valid_a.upper()),
    ("kBech32Checksum", segwit("vex", 1, program_a, BECH32_CONST)),
    ("kChangedDataChar", flip_char(valid_a, 20)),
    ("kVersion0", segwit("vex", 0, program_a)),
    ("kProgram20", segwit("vex", 1, program_a[:20])),
    ("kProgram33", segwit("vex", 1, program_a + b"\x00")),
    ("kOtherPrefix", segwit("tvx", 1, program_a)),
    ("kNonZeroPadding", encode("vex", [1] + bad_pad_groups)),
    ("kTooManyPadBits", encode("vex", [1] + [0] * 54)),
    ("kNoWitnessData", encode("vex", [])),
]

for name, value in vectors:
    print(f'constexpr char {name}[] = "{value}";')

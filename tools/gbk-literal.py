#!/usr/bin/env python3
"""Prints a C string literal holding the code page 936 (GBK) bytes of a text.

Usage: gbk-literal.py "文本"
Chinese texts live in the code as GBK byte strings; this keeps hex escapes
from swallowing a following letter or digit by closing and reopening the
literal there.
"""
import sys

def literal(text: str) -> str:
    out, previous_escape = '"', False
    for byte in text.encode('gbk'):
        ch = chr(byte)
        if byte >= 0x80:
            out += '\\x%02x' % byte
            previous_escape = True
            continue
        if previous_escape and ch in '0123456789abcdefABCDEF':
            out += '" "'
        previous_escape = False
        out += {'"': '\\"', '\\': '\\\\', '\n': '\\n'}.get(ch, ch)
    return out + '"'

if __name__ == '__main__':
    print(literal(sys.argv[1]))

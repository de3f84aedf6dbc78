#!/usr/bin/env python3
"""Writes an HTML page of about SIZE bytes with an ad image, an ad link and an
ad script every few paragraphs: make_page.py SIZE OUT."""
import sys

size, out = int(sys.argv[1]), sys.argv[2]
parts = ['<!DOCTYPE html>\n<html><head><title>Bench page</title></head><body>\n']
n = 0
while sum(map(len, parts)) < size:
    n += 1
    parts.append('<p>Paragraph %d of the story, with words enough to look like text a '
                 'newspaper would print on its front page today.</p>\n' % n)
    if n % 5 == 0:
        parts.append('<img src="/ads/banner_468x60.gif" width="468" height="60">\n'
                     '<a href="http://ads.example/click?id=%d"><img src="/adimages/b%d.png"></a>\n'
                     '<div class="story"><img src="/photos/p%d.jpg" alt="photo"></div>\n' % (n, n, n))
parts.append('</body></html>\n')
open(out, 'w').write(''.join(parts))

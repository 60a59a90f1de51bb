"""tessel: create blank files, with brace expansion, clipboard and notifications.

The work is done by the native module ``tessel.tessel``.
"""

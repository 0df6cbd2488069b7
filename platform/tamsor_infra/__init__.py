"""Our own small layer in place of the maker's chat and storage library.

Only what the benchmark tool's chat report calls is here: posting a message of blocks to a chat
channel, and presigning download addresses of stored objects. Settings come from the environment.
"""

"""Redis services of the kit: store client, frame payload, keys and image codecs."""

"""Fund extension package of the local data client; the fund operations live in `ondrax.fund`."""

"""Settings shared by every test: hypothesis runs derandomised (the examples of a test
are the same on every run and every machine), so a test cannot pass or fail by chance."""

from hypothesis import settings

settings.register_profile("velmora", derandomize=True, deadline=None, print_blob=True)
settings.load_profile("velmora")

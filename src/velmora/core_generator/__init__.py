"""Data preparation for generators: the privacy noise processor ``noiseforge``."""

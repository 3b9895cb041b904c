from velmora.core_generator.noiseforge import _run_as_main

if __name__ == "__main__":
    _run_as_main()

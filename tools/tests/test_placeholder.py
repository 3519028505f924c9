def test_tools_folder_present():
    import pathlib
    assert pathlib.Path(__file__).parent.is_dir()

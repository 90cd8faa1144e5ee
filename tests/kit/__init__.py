"""What the test files share. tests/ is on the import path (pytest puts the folder of conftest.py there),
so every test file imports `kit`, and no test file imports another."""

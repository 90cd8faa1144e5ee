"""What the test files share; tests/ is on the import path (pytest puts the folder of conftest.py there),
so every test file imports `kit`, and no test file imports another:
- hostile.py: the hostile objects (values whose methods raise, answer wrongly or change the running call;
  a message table and a host cache that do the same);
- leak_paths.py: every path of the module as a table, the one list of leak checks (the soak's);
- raise_sites.py: where each traceback entry of the module points;
- stub.py: the installed stub, parsed: what the module declares, the class's order, the factories;
- recorder.py: the message table that records each message's key and arguments;
- tools.py: fresh objects, reference counts, resident memory, a child interpreter, the user log.
"""

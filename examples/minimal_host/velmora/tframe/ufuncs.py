def todictmc(targets):  # the codes, as the conversion command's request
    return [{"code": code} for code in targets]


def todotmc(reply):  # the command's reply, as one converted code (a str) per requested code, in order
    return [entry["target"] for entry in reply]

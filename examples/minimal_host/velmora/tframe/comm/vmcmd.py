SENT = []


def vmSendCmdConvertTargets(request):  # a real host asks its trading process; this one answers itself
    SENT.append(request)
    return [{"code": e["code"], "target": "%s.%s" % (e["code"].upper(), "SSE" if e["code"].isdigit() else "SHFE")}
            for e in request]

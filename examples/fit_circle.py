import _varnel; print(_varnel.__version__)

from greeks.cli import command

command()
